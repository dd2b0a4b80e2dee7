/* A plugin for qemu's user-mode emulator that counts the guest instructions
 * executed, for the armhf bench (scripts/bench-armhf.sh): each translated
 * block adds its instruction count to one counter as it runs, and a system
 * call of the number the bench uses as a mark (no kernel has it) prints the
 * counter with the call's first two arguments:
 *   "mark ID PHASE INSTRUCTIONS"
 * The bench marks the beginning (PHASE 0) and the end (PHASE 1) of each
 * counted block. Every thread adds to the one counter, unlocked: a block in
 * which several threads run counts about, for information.
 *
 * Built for the machine (not the guest), against qemu's plugin interface of
 * version 1 (Debian 12's qemu 7.2), declared here as qemu documents it. */
#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
struct qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*tb_trans_cb)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);
typedef void (*syscall_cb)(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1,
                           uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                           uint64_t a7, uint64_t a8);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, tb_trans_cb cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, syscall_cb cb);
void qemu_plugin_outs(const char* string);

EXPORT int qemu_plugin_version = 1;

/* The bench's mark: see bench/measure.cpp. */
enum { kMarkCall = 0x7ff0 };

static uint64_t executed;

static void Translated(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                           qemu_plugin_tb_n_insns(tb));
}

static void SystemCall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1,
                       uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                       uint64_t a7, uint64_t a8) {
  (void)id, (void)vcpu, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
  if (num != kMarkCall) return;
  char line[96];
  snprintf(line, sizeof line, "mark %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", a1, a2, executed);
  qemu_plugin_outs(line);
}

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc,
                               char** argv) {
  (void)info, (void)argc, (void)argv;
  qemu_plugin_register_vcpu_tb_trans_cb(id, Translated);
  qemu_plugin_register_vcpu_syscall_cb(id, SystemCall);
  return 0;
}
