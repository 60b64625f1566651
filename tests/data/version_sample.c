/* A program that is never run: it only carries a version resource (or, for
   the test of a file without one, nothing). */
int main(void) { return 0; }
