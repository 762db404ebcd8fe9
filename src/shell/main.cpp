// Program entry (replaced by the start-up of the main window).
int main() { return 0; }
