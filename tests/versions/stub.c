/* A tiny program that only carries a version resource for the version reader's tests. */
int main(void) { return 0; }
