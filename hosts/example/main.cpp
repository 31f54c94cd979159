// The example host: placeholder until the table lands.
#include <cstdio>
int main() {
  std::puts("vastrel-example: the table layer is not built yet");
  return 0;
}
