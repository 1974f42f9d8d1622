#include "line_extract/linesift.h"

int main(int argc, char** argv) {
  return linesift::run(argc, argv);
}
