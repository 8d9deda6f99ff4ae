// Version strings of both programs.
#pragma once

const char* MvGetVersion();
// The storage tool's version numbers.
const char* MvGetVersionShort();
int MvGetVersionMax();
int MvGetVersionMin();
int MvGetVersionBuild();
