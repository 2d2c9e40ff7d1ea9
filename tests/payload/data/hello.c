/* A minimal Windows console program: a real executable whose last section
   ends where the file ends. */
int main(void) { return 0; }
