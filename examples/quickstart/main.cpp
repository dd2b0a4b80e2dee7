// Placeholder quickstart.
int main() { return 0; }
