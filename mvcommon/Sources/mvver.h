// Version strings of both programs. MvGetVersion gives the string of the flavour
// selected at start-up (MvSetFlavour); the two others are reachable directly.
#pragma once

const char* MvGetVersion();
// "Version: <branch>-<commit>-<build flavour>, <compile date>"
const char* MvGetVersionServer();
// "Version: <major>.<minor> build <build> (<compile date>)"
const char* MvGetVersionTool();
// The storage tool's version numbers.
const char* MvGetVersionShort();
int MvGetVersionMax();
int MvGetVersionMin();
int MvGetVersionBuild();
