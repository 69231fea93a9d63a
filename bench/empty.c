/* Baseline for the start-up benchmark: the cheapest possible process. */
int main(void) { return 0; }
