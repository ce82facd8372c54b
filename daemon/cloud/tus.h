#pragma once
// Resumable uploads (tus 1.0 core) into slots that say "protocol": "tus":
// the cloud has created the upload resource; HEAD tells how much of it the
// server holds, PATCH appends from there. What an upload is and where it
// lives is recorded in "/usrdata/tus_uploads.json" before its first byte,
// so a cut upload continues across syncs, restarts and power cuts instead
// of starting again from byte 0.
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// --- the answer's headers (pure; also fuzzed) ---

// When the header line `line` (`len` bytes, with or without its CRLF) is the
// header `name` in any case, stores its value without surrounding blanks.
bool tusHeaderValue(const char* line, size_t len, const char* name, std::string* value);
// An offset as a server states it: decimal digits only, within 0..size.
bool tusParseOffset(const char* text, int64_t size, int64_t* offset);

// --- the records of started uploads ---

// One started upload. A picture is known by name, size and modification
// time; an HD copy keeps its original's modification time, so each fresh
// copy of the same picture is known too.
struct TusRecord {
    std::string name;  // file name in the transmit folder ("HD..." for HD copies)
    int64_t size = 0;
    int64_t mtime = 0;
    bool hd = false;
    std::string url;
};

// At most this many records; HD records at most kTusMaxHdRecords (their
// copies live only while an upload runs, so they are not pruned by the
// folder). The oldest go first.
constexpr size_t kTusMaxRecords = 64;
constexpr size_t kTusMaxHdRecords = 4;

std::vector<TusRecord> tusLoadRecords();
// Writes the records durably (atomic replace); false on failure.
bool tusSaveRecords(std::vector<TusRecord> records);
// Drops the record of `name` (if any) and saves.
void tusForget(const char* name, bool hd);

// --- the servers ---

// What each tus server offers (its checksum algorithms, termination) is
// asked once per server and process, and the answer logged then; this
// forgets them, so the next upload asks again.
void tusForgetServers();

// --- one upload ---

enum TusResult {
    TUS_SENT = 1,  // the server holds every byte; the caller deletes the picture, then tusForget
    TUS_KEPT = 0,  // not complete in this sync; the picture stays
};

// What the within-sync loop may do; tests shorten nothing here, but the
// bench compares whole-rest PATCHes with fixed chunks.
struct TusLimits {
    int64_t chunkBytes = 0;  // 0: one PATCH for the whole rest
    int stuckAttempts = 2;   // attempts in a row without progress end the picture for the sync
    // A server that checks a PATCH's checksum keeps none of a PATCH that was
    // cut, so its PATCHes are this long at most: a cut costs this much again
    // at worst (32 s at 16 kbit/s), and the PATCH is read into memory whole.
    int64_t checkedChunkBytes = 64 * 1024;
};
TusLimits& tusLimits();

// Uploads the file at `path` (`size` bytes, modified at `mtime`) into the
// tus slot at `url` with the slot's `headers`. `name` keys its record.
int tusUpload(const char* name, bool hd, const char* path, int64_t size, int64_t mtime,
              const char* url, json_object* headers);

// The slot's "protocol" member: "put" (absent or "put"), "tus", or nullptr
// for anything else.
const char* tusSlotProtocol(json_object* slot);
