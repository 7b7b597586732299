#include "base/MasterWatch.h"

#include <sys/prctl.h>
#include <unistd.h>

pid_t MasterWatch::masterPid_ = 0;

bool MasterWatch::ArmInChild(pid_t masterPid) {
    masterPid_ = masterPid;
    prctl(PR_SET_PDEATHSIG, kSignal, 0, 0, 0);
    return getppid() == masterPid;
}

bool MasterWatch::Armed() {
    return masterPid_ > 0;
}

bool MasterWatch::MasterGone() {
    return Armed() && getppid() != masterPid_;
}

pid_t MasterWatch::MasterPid() {
    return masterPid_;
}
