// transfer_files: the file side of a transfer. Describing and opening a file to offer, hashing it
// in bounded slices, creating a received file under a free name in downloads/, and moving whole
// segments between a file and memory. Owns no state; the streams belong to the transfer records.
// May call: foundation (sha256, log, utf8, safe_file), storage fso (the storage root).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/sha256.hpp"

inline constexpr size_t JX_META_NAME_SIZE = 1024;
// Room for the offered name of a download as shown (cleaned, cut to 255 bytes).
inline constexpr size_t JX_META_OFFERED_SIZE = 256;
// Longest name a received file is stored under: its free-name form "<base>_(65534)<ext>" must
// still fit the 255 bytes a file name may have.
inline constexpr size_t JX_SAFE_NAME_MAX = 255 - 8;

// The description of one transferred file, embedded in every transfer record so that a finished
// record can copy it whole.
struct JXFileMeta {
    uint64_t size;  // uploads: bytes hashed so far (the file size once done); downloads: offered size
    sha256_ctx sha_ctx;
    uint8_t digest[32];
    char name[JX_META_NAME_SIZE];  // no directory
    char dir[JX_META_NAME_SIZE];   // ends in "/" (or is empty); the path is dir followed by name
    // Downloads: the name as the peer offered it, only for display, cleaned by jx_str_sanitize;
    // name is the safe name the file is stored under. Empty for uploads.
    char offered[JX_META_OFFERED_SIZE];
};

// A name a received file may take: not empty, not "." or "..", none of < > : " / \ | ? *.
bool jx_fso_name_ok(const char* name);
// The name an offered file is stored under, decided when the offer arrives so that every screen
// shows it: each control or invisible character (jx_char_is_invisible: C0, DEL, C1, bidi
// controls, zero-width and other format characters) and each byte of invalid UTF-8 becomes '_',
// a leading '-' or '.' becomes '_', and a name longer than JX_SAFE_NAME_MAX bytes is cut between
// characters, keeping its extension. false when the name cannot be stored (not jx_fso_name_ok, or
// size below JX_SAFE_NAME_MAX + 1).
bool jx_fso_safe_name(const char* offered, char* out, size_t size);

// Opens the file to offer for reading and fills name and dir (size and digest are left for
// hashing). 1 when it cannot be opened, is not a regular file (a directory, FIFO or device would
// never hash to an end), or its name is not allowed ("Forbidden charachers in filename"); then the
// metadata is cleared and *stream is null.
uint8_t jx_fso_metadata(JXFileMeta* meta, FILE** stream, const char* path);

// Hashes the next slice of at most `limit` bytes. 1 while more remains, 0 when the digest is done
// (size then holds the bytes read). A read error ends the hash early.
uint8_t jx_fso_sha256_sum2(FILE* stream, JXFileMeta* meta, size_t limit);

// Creates the received file (mode 0600) in downloads/ under meta's name or the first free
// "%s_(%hu)%s" form, sets dir (and name when it changed). A name is taken when any directory
// entry of that name exists; the file is created exclusively and a symbolic link is never
// followed, so nothing is ever overwritten. Null when no file could be created.
FILE* jx_fso_get_dl_fp(JXFileMeta* meta);

// Exactly n bytes at the stream's position. Read: 0 done, 1 no stream, 3 short read or error.
// Write: 0 done, 2 no stream, 3 failed with the error flag set, 1 failed without it.
uint8_t jx_fso_read_filepart2(FILE* stream, uint8_t* buf, size_t n);
uint8_t jx_fso_write_filepart2(FILE* stream, const uint8_t* buf, size_t n);
// Close: 0 done (or no stream), 1 when what was still buffered could not be written.
uint8_t jx_fso_close_fp(FILE* stream);

// Bytes an ordinary user may still write in downloads/ into *bytes; false when that cannot be told.
bool jx_fso_downloads_free(uint64_t* bytes);
