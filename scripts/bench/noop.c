/* The floor of one command run: a static program that does nothing. */
int main(void) { return 0; }
