// What the whole-run target's heap must report, one case a process:
//   heap_check CASE SIZE
// fit: every byte of a block of SIZE is usable, also once the block has been reused (exits
// 0); past: a read one byte past the block; before: a read of the byte before it; freed: a
// read of a freed block; twice: a second delete. Each of the last four must stop the
// process with AddressSanitizer's report or the heap's own.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: heap_check fit|past|before|freed|twice SIZE\n", stderr);
    return 2;
  }
  const char *what = argv[1];
  const size_t size = std::strtoul(argv[2], nullptr, 10);
  char *p = new char[size];
  std::memset(p, 1, size);
  volatile char sink = 0;
  if (std::strcmp(what, "fit") == 0) {
    // Through the quarantine and back: the block is handed out again, whole.
    delete[] p;
    for (int i = 0; i < 1000; i++) delete[] new char[size];
    p = new char[size];
    std::memset(p, 2, size);
    delete[] p;
    return 0;
  }
  if (std::strcmp(what, "past") == 0) sink = p[size];
  if (std::strcmp(what, "before") == 0) sink = p[-1];
  if (std::strcmp(what, "freed") == 0) {
    delete[] p;
    sink = p[0];
  }
  if (std::strcmp(what, "twice") == 0) {
    delete[] p;
    delete[] p;
  }
  (void)sink;
  std::fprintf(stderr, "heap_check: %s %zu was not reported\n", what, size);
  return 1;
}
