// transfer_files: the file side of a transfer. Describing and opening a file to offer, hashing it
// in bounded slices, creating a received file under a free name in downloads/, and moving whole
// segments between a file and memory. Owns no state; the streams belong to the transfer records.
// May call: foundation (sha256, log, utility), storage fso (the storage root).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/sha256.hpp"

inline constexpr size_t JX_META_NAME_SIZE = 1024;

// The description of one transferred file, embedded in every transfer record so that a finished
// record can copy it whole.
struct JXFileMeta {
    uint64_t size;  // uploads: bytes hashed so far (the file size once done); downloads: offered size
    sha256_ctx sha_ctx;
    uint8_t digest[32];
    char name[JX_META_NAME_SIZE];  // no directory
    char dir[JX_META_NAME_SIZE];   // ends in "/" (or is empty); the path is dir followed by name
};

// A name a received file may take: not empty, not "." or "..", none of < > : " / \ | ? *.
bool jx_fso_name_ok(const char* name);

// Opens the file to offer for reading and fills name and dir (size and digest are left for
// hashing). 1 when it cannot be opened, is not a regular file (a directory, FIFO or device would
// never hash to an end), or its name is not allowed ("Forbidden charachers in filename"); then the
// metadata is cleared and *stream is null.
uint8_t jx_fso_metadata(JXFileMeta* meta, FILE** stream, const char* path);

// Hashes the next slice of at most `limit` bytes. 1 while more remains, 0 when the digest is done
// (size then holds the bytes read). A read error ends the hash early.
uint8_t jx_fso_sha256_sum2(FILE* stream, JXFileMeta* meta, size_t limit);

// Creates the received file in downloads/ under the offered name or the first free
// "%s_(%hu)%s" form, sets dir (and name when it changed). A name is taken when any directory
// entry of that name exists; the file is created exclusively and a symbolic link is never
// followed, so nothing is ever overwritten. Null when no file could be created.
FILE* jx_fso_get_dl_fp(JXFileMeta* meta);

// Exactly n bytes at the stream's position. Read: 0 done, 1 no stream, 3 short read or error.
// Write: 0 done, 2 no stream, 3 failed with the error flag set, 1 failed without it.
uint8_t jx_fso_read_filepart2(FILE* stream, uint8_t* buf, size_t n);
uint8_t jx_fso_write_filepart2(FILE* stream, const uint8_t* buf, size_t n);
uint8_t jx_fso_close_fp(FILE* stream);

// Bytes an ordinary user may still write in downloads/ into *bytes; false when that cannot be told.
bool jx_fso_downloads_free(uint64_t* bytes);
