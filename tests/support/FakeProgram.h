// A stand-in for a program the agent launches: a shell script that writes what it was started
// with (its arguments, session, parent, standard streams, open descriptors, signal state and
// current directory) into a report file beside itself, and ends.
#pragma once

#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

namespace testing_support {

// Writes the script at `path` (mode 0755) whose report goes to `path` + ".report". The report
// appears all at once (written aside, then renamed).
inline bool WriteFakeProgram(const std::string& path) {
    const std::string script = R"SH(#!/bin/sh
out="$0.report"
# Read before the report's own redirection changes the shell's descriptors.
fd0=$(readlink /proc/$$/fd/0)
fd1=$(readlink /proc/$$/fd/1)
fd2=$(readlink /proc/$$/fd/2)
fds=$(for f in /proc/$$/fd/*; do readlink "$f"; done | tr '\n' '|')
{
  echo "argc=$#"
  i=1
  for a in "$@"; do echo "arg$i=$a"; i=$((i+1)); done
  echo "pid=$$"
  set -- $(sed 's/.*) //' /proc/$$/stat)
  echo "ppid=$2"
  echo "sid=$4"
  echo "fd0=$fd0"
  echo "fd1=$fd1"
  echo "fd2=$fd2"
  echo "fds=$fds"
  echo "cwd=$(readlink /proc/$$/cwd)"
  echo "sigblk=$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status)"
  echo "sigign=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)"
} > "$out.tmp" 2>/dev/null
mv "$out.tmp" "$out"
)SH";
    if (!WriteFile(path, script)) return false;
    return chmod(path.c_str(), 0755) == 0;
}

// The report as name -> value ("" when there is none yet).
inline std::map<std::string, std::string> ReadFakeReport(const std::string& programPath) {
    std::map<std::string, std::string> m;
    std::istringstream in(ReadFile(programPath + ".report"));
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

// Waits until the report is there.
inline bool WaitForFakeReport(const std::string& programPath) {
    return WaitFor([&] { return FileExists(programPath + ".report"); }, std::chrono::seconds(30));
}

}  // namespace testing_support
