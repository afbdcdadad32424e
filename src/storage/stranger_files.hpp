// stranger_files: the lasting record (jx_internal/strangers) of the channel files that received
// traffic made for strangers, so that what strangers can make this host keep on disk stays bounded
// across restarts.
// May call: foundation (log), storage fso (paths, channel file names).
#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/fso.hpp"

// About 19 MB of channel files of 161,600 bytes each.
inline constexpr size_t JX_STRANGER_FILES_MAX = 120;
// Of those, files that hold strangers' texts or offers: the rest stay for private networks whose
// hosts said nothing, so a flood of texts cannot shut out a host that asks for a private network.
inline constexpr size_t JX_STRANGER_KEPT_MAX = 100;
// Whether strangers' traffic may have the channel file `name` written: yes when it is on disk
// already or recorded; otherwise yes while fewer than JX_STRANGER_FILES_MAX are recorded, and it
// is recorded then. When the record is full, a recorded file that holds no text (only notices:
// a stranger that asked for a private network and said nothing) and that in_use does not claim
// gives way, and is deleted by a later sweep; with none such, JX_SF_FULL. A file meant for a text
// or offer (to_keep) is refused with JX_SF_KEPT once JX_STRANGER_KEPT_MAX files are kept.
enum : uint8_t { JX_SF_OK = 0, JX_SF_FULL = 1, JX_SF_KEPT = 2 };
uint8_t jx_stranger_file_admit(const char* name, bool (*in_use)(const char* name), bool to_keep);
// A text or offer arrived for the file: it is kept until the user removes or takes it up. False
// when it is a recorded file that cannot be kept (JX_STRANGER_KEPT_MAX are): the text or offer is
// to be refused, as it could be deleted with the file later.
bool jx_stranger_file_keep(const char* name);
// The user took the channel up: its file no longer counts as made by strangers.
void jx_stranger_file_adopt(const char* name);
// Once per turn of the main loop: deletes the files given way two sweeps ago, unless they were
// recorded again or in_use claims them since.
void jx_stranger_files_sweep(bool (*in_use)(const char* name));
// At the end: deletes every file that gave way and was not taken up again, so none outlives the
// record that counted it.
void jx_stranger_files_flush(bool (*in_use)(const char* name));
// Files recorded now.
size_t jx_stranger_file_count();
// Forgets what was loaded, so the next call reads the record of the storage root anew.
void jx_stranger_files_reset();
