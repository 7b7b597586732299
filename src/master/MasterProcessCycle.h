// The master's start-up and its signal-driven cycle: reaping, the SIGQUIT broadcast, the
// escalating SIGTERM/SIGKILL schedule, and the exit once no worker is left.
#pragma once

#include <boost/asio/io_context.hpp>

// Runs the life-checker timer and the ageing checks it triggers (the master's I/O thread).
extern boost::asio::io_context gMasterIOService;

// Start-up, then the cycle; never returns (ends the process with exit).
void warrenMasterProcessCycle();

// The two halves of the cycle, separate so a test program can place workers between them.
// MasterStartup ends the process with status 1 when the channel cannot be opened.
void MasterStartup();
[[noreturn]] void MasterCycleLoop();

int BlockSignals();
void SetTerminateAlarmSigTimer(int ms);
void SendSignal2WorkerProcesses(int signo);
void RunMasterIOService();
[[noreturn]] void ExitMasterProcess();
