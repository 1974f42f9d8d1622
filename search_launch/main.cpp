#include "search_launch/hitjump.h"

int main(int argc, char** argv) {
  return hitjump::run(argc, argv);
}
