// The child of the runner benchmark: ends at once, writing nothing.
int main() { return 0; }
