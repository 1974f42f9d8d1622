#pragma once
namespace hitjump {
int run(int argc, char** argv);
}
