// Downloads with the built program through a real nginx, shared by the HTTP
// and the HTTPS suites: each scenario fills the server's document root, runs
// the program in a fresh directory and checks the files it wrote against the
// requests nginx logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nginx_server.h"
#include "run_program.h"

namespace nginx_scenarios {

// Runs the built program with `args` in `cwd`, with HOME pointing at an
// empty directory and no proxy variables, killed after 120 seconds.
program_result run_tuvo(const std::vector<std::string> &args, const std::string &cwd);

// `size` reproducible incompressible bytes.
std::string random_bytes(size_t size, uint64_t seed);

// Sets the modification time of path to `when` (seconds since the epoch).
void set_mtime(const std::string &path, time_t when);

// A 20 MB file under its own name, byte for byte.
void large_download(const nginx_fixture::server &srv);
// `-c` with the first part of the file already there: one ranged request
// answered 206, and the whole file in the end.
void resume_from_middle(const nginx_fixture::server &srv);
// `-N`: the first run downloads and takes the server's time; the second only
// asks with HEAD; after the served file changes and gets newer, a third run
// downloads again.
void timestamping(const nginx_fixture::server &srv);
// Three URLs in one run travel over one kept-alive connection.
void keep_alive_reuse(const nginx_fixture::server &srv);
// A redirection configured in nginx is followed to its target.
void redirect(const nginx_fixture::server &srv);

}  // namespace nginx_scenarios
