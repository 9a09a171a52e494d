/* A stand-in game executable: the end-to-end runs only read its version resource. */
int main(void) { return 0; }
