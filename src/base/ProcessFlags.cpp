#include "base/ProcessFlags.h"

std::atomic<int> gTerminate{0};
std::atomic<int> gQuit{0};
std::atomic<int> gReap{0};
std::atomic<int> gSigAlrm{0};
std::atomic<int> workerExiting{0};
