/* Run by run32: whether this machine runs 32-bit x86 programs itself. */
int main(void) { return 0; }
