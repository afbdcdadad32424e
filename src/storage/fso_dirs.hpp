// fso_dirs: what the files of fso share (fso.cpp finds and opens the root, fso_search.cpp walks
// the candidates, fso_claim.cpp claims the root and makes its directories): the directories held
// open for the run, path joining, the probe that proves a directory writable, and the record of
// why a root could not be used. Internal to storage; nothing outside fso*.cpp includes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/safe_file.hpp"

struct JXFsoFault;

inline constexpr const char* FSO_INTERNAL_DIR = "jx_internal";
inline constexpr const char* FSO_PROBE_NAME = ".jx_test_file";
inline constexpr const char* FSO_DIR_NAMES[3] = {FSO_INTERNAL_DIR, "msg", "downloads"};

// The root directory and the three directories the program keeps files in, held open for the run:
// every file is opened relative to them, so what was checked once is what is written. -1: not open.
extern int fso_root_fd;
extern int fso_dir_fds[3];
void fso_close_fd(int* fd);

// Joins up to three parts into out (JX_FSO_PATH_SIZE bytes). false, with out emptied, when the
// result would exceed 1024 characters.
bool fso_join_path(char* out, const char* a, size_t alen, const char* b, const char* c);
// A candidate as written: "" is the top directory.
int fso_open_candidate(const char* dir);
// Creates and deletes a probe file in the directory: 0, or the errno that prevented it.
int fso_probe_at(int dirfd);
// Opens dir/sub (dir itself when sub is null) if it is a directory the program may keep files in
// and create them: the descriptor, or -1 with why.
int fso_usable_dir(const char* dir, const char* sub, JXSafeWhy* why);
// The candidates a start makes when they are missing: the user's JEXLEY_HOME, the data directory.
bool fso_made_on_first_use(uint8_t from);

// Why the root could not be used (jx_fso_fault() reads it); the claim's own record lives in
// fso_claim.cpp, which also lets it go when fso closes.
extern JXFsoFault fso_fault_rec;
void fso_set_fault(uint8_t what, int err, const char* path, const char* file = nullptr);
void fso_release_claim();
