#include "search_launch/hitjump.h"
namespace hitjump {
int run(int, char**) {
  return 0;
}
}  // namespace hitjump
