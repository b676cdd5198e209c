// The baseline for the installer's run: a console program that prints one line
// and pauses the same way, and does nothing else.
#include <cstdio>
#include <cstdlib>

int main() {
  std::fputs("bare console\n", stdout);
  std::fflush(stdout);
  std::system("pause");
  return 0;
}
