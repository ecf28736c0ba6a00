// The files and the private folder that this run creates in /tmp, kept where a signal handler
// can reach them: a run that the web server stops (time-out, visitor gone) removes them before
// it dies, as every other end of the run does.
#pragma once

#include <string>

namespace sr {

// SIGTERM, SIGINT and SIGHUP remove the remembered files, then end the process as before.
void remove_run_files_on_termination();

// Remembers a file for removal; a folder goes with every file in it.
void remember_run_file(const std::string& path);
void remember_run_folder(const std::string& path);
// For a file that is gone already or no longer this run's to remove.
void forget_run_file(const std::string& path);

// Removes what is remembered. Only system calls: it runs in the signal handler too.
void remove_run_files();

}  // namespace sr
