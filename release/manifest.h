// The release manifest: the text that names one release's version, its launcher executable and
// every file of the installation with its content hash and sizes. One reader, one writer, so that
// the launcher and the release tool agree on the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kd {

struct Entry {
    std::string hash;              // BLAKE2b-256 of the unpacked content, 64 hex digits as written
    std::uint64_t size = 0;        // unpacked bytes
    std::uint64_t packedSize = 0;  // bytes of the zlib object on the server
    std::string path;  // '/'-separated, relative to the game folder; empty for the launcher
    // A big file's chunk list object (release/chunks.h), from the "chunks" line after its "file"
    // line; an empty hash when the file travels whole only.
    std::string chunksHash = {};
    std::uint64_t chunksSize = 0;
    std::uint64_t chunksPackedSize = 0;

    bool operator==(const Entry&) const = default;
};

struct Manifest {
    std::string platform;
    std::string version;
    // The channel the release was published for ("live", "testing", or any word a newer release
    // tool writes) and its publish serial on that channel; empty and 0 when the lines are absent.
    std::string channel;
    std::uint64_t serial = 0;
    Entry launcher;  // empty hash: the release names no launcher
    std::vector<Entry> files;

    bool operator==(const Manifest&) const = default;
};

// Resets manifest first. On failure error holds one of the reader's messages and manifest holds
// what was read before the failing line.
bool parseManifest(std::string_view text, Manifest& manifest, std::string& error);
std::string writeManifest(const Manifest& manifest);
const Entry* findFile(const Manifest& manifest, std::string_view path);

// Hashed look-up by path over a list of entries that outlives it; first entry wins, like
// findFile (over a whole manifest, its paths must be distinct, as the reader and the release tool
// make them). One open-addressing table of 8-byte slots, sized once for the entries expected: a
// node-based map would allocate per entry and scatter the nodes across memory, and a release of
// 100,000 files pays for every cache and TLB miss once per file. Entries may be appended to the
// list meanwhile (the reader does), but their paths not changed.
class FileIndex {
public:
    explicit FileIndex(const Manifest& manifest);  // every file of the manifest
    // Empty, with room for `expected` entries of files (more make it grow).
    FileIndex(const std::vector<Entry>& files, std::size_t expected);

    // Adds files[i] (i below 2^32 - 1). False when an entry with its path is there already,
    // which then stays.
    bool add(std::size_t i);
    // The same with the path's hash from prefetch, which asks the memory for the path's slot so
    // that other work can go on meanwhile.
    bool add(std::size_t i, std::uint32_t hash);
    std::uint32_t prefetch(std::string_view path) const;
    // Not from two threads at once: over a whole manifest, the table is built by the first find
    // that needs it.
    const Entry* find(std::string_view path) const;
    // find for each of wanted's paths, in its order: the match of wanted[i] at [i]. One walk that
    // sees both lists asks the memory for the paths of both some entries ahead; past the cache,
    // a find at a time waits on each of the caller's paths in turn.
    std::vector<const Entry*> findEach(const std::vector<Entry>& wanted) const;

private:
    std::size_t slotOf(std::string_view path, std::uint32_t hash) const;
    void grow();
    void build() const;
    // Puts files[i] in its slot unless its path has one; never grows the table.
    bool place(std::size_t i, std::uint32_t hash) const;

    const std::vector<Entry>* files_;
    // A power of two of them, at most half in use; each 0 (empty) or the path's 32-bit hash
    // above the entry's index + 1.
    mutable std::vector<std::uint64_t> slots_;
    mutable std::size_t used_ = 0;
    // Over a whole manifest: the number of its entries, which all have distinct paths (the
    // reader refuses a second), and the entry after the last one found. Look-ups mostly come in
    // the manifest's order, from another release of the same game, so a find first compares the
    // entry after the last: a run of them reads the two lists in order, and the table is built
    // only when a path is not where the last one left off.
    std::size_t whole_ = 0;
    mutable std::size_t next_ = 0;
    mutable bool built_ = true;
    // Each entry's path hash, once built over a whole manifest: a find that lands on entry j asks
    // the memory for what a find of entry j + 8 needs.
    mutable std::vector<std::uint32_t> hashes_;
};

// Refuses paths that could leave the game folder or name something odd: empty, absolute, trailing
// '/', '\', ':', empty, "." or ".." components, control bytes.
bool isSafePath(std::string_view path);

// The names the launcher writes itself, in the game folder or in the launcher folder beside it. A
// release that listed one would never settle, so the release tool refuses to publish one and the
// launcher refuses a release that does: both ask isLauncherOwnedPath.
constexpr const char* kInstalledName = ".installed";  // in the game folder
constexpr const char* kNewsCacheLive = ".news";       // in the launcher folder
constexpr const char* kNewsCacheTesting = ".news-testing";
constexpr const char* kSerialsName = ".serials";
constexpr const char* kStagingName = ".staging";
constexpr const char* kChunkListsName = ".chunk-lists";  // lists of the installed big files
constexpr const char* kPartSuffix = ".part";             // a state file on its way
constexpr const char* kDamagedSuffix = ".damaged";  // a state file that did not read, kept aside
// A copy on its way into place, beside its target in any folder of the game.
constexpr const char* kCopyPrefix = ".veilstone-part-";

// True when the first component of path is one of the names above or its part file, or when any
// component starts with the copy prefix.
bool isLauncherOwnedPath(std::string_view path);

// The launcher's platform word and the game executable's file name, here so that the engine and
// the release tool need nothing from the application.
const char* platformName();  // "linux64"
const char* productName();   // "veilstone"

// Reads hash, size and packed size (and the rest of the line as path when withPath) from the
// words of a "launcher" or "file" line, the keyword already taken off.
bool readEntryFields(std::string_view rest, Entry& entry, bool withPath);

}  // namespace kd
