#include "release/manifest.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <functional>
#include <string_view>
#include <vector>

#include "release/chunks.h"
#include "release/crypto.h"

namespace kd {
namespace {

constexpr std::string_view kHeader = "veilstone-manifest 1";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A word stream over one line: words are runs of anything but white space.
struct Words {
    std::string_view rest;

    void skipBlanks() {
        std::size_t i = 0;
        while (i < rest.size() && isBlank(rest[i])) ++i;
        rest.remove_prefix(i);
    }
    bool next(std::string_view& word) {
        skipBlanks();
        std::size_t i = 0;
        while (i < rest.size() && !isBlank(rest[i])) ++i;
        if (i == 0) return false;
        word = rest.substr(0, i);
        rest.remove_prefix(i);
        return true;
    }
};

// Plain decimal digits only, and the value must fit in 64 bits.
bool parseSize(std::string_view word, std::uint64_t& value) {
    const char* end = word.data() + word.size();
    if (word.empty() || word[0] < '0' || word[0] > '9') return false;
    auto result = std::from_chars(word.data(), end, value, 10);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

bool isSafePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    for (unsigned char c : path)
        if (c < 0x20 || c == '\\' || c == ':') return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view component = path.substr(start, slash - start);
        if (component.empty() || component == "." || component == "..") return false;
        start = slash + 1;
    }
    return true;
}

bool isLauncherOwnedPath(std::string_view path) {
    const std::string_view top = path.substr(0, path.find('/'));
    for (std::string_view name : {kInstalledName, kNewsCacheLive, kNewsCacheTesting, kSerialsName,
                                  kStagingName, kChunkListsName}) {
        if (top == name) return true;
        for (std::string_view suffix : {kPartSuffix, kDamagedSuffix})
            if (top.size() == name.size() + suffix.size() && top.starts_with(name) &&
                top.ends_with(suffix))
                return true;
    }
    for (std::size_t at = 0; at <= path.size();) {
        if (path.substr(at).starts_with(kCopyPrefix)) return true;
        const std::size_t slash = path.find('/', at);
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    return false;
}

bool readEntryFields(std::string_view rest, Entry& entry, bool withPath) {
    Words words{rest};
    std::string_view hash, size, packedSize;
    if (!words.next(hash) || !words.next(size) || !words.next(packedSize)) return false;
    if (!parseSize(size, entry.size) || !parseSize(packedSize, entry.packedSize)) return false;
    std::uint8_t digest[kDigestBytes];
    if (!hexDecode(hash, digest, sizeof digest)) return false;
    entry.hash = hash;
    if (!withPath) return true;
    // The path is the whole rest of the line, inner and trailing spaces included.
    words.skipBlanks();
    entry.path = words.rest;
    return isSafePath(entry.path);
}

const Entry* findFile(const Manifest& manifest, std::string_view path) {
    for (const Entry& entry : manifest.files)
        if (entry.path == path) return &entry;
    return nullptr;
}

namespace {

// How far ahead the index asks the memory for entries and slots.
constexpr std::size_t kAheadEntries = 8;

std::uint32_t pathHash(std::string_view path) {
    const std::size_t full = std::hash<std::string_view>{}(path);
    return static_cast<std::uint32_t>(full ^ (full >> 32));
}

}  // namespace

FileIndex::FileIndex(const std::vector<Entry>& files, std::size_t expected)
    : files_(&files), slots_(std::bit_ceil(std::max<std::size_t>(16, 2 * expected)), 0) {}

FileIndex::FileIndex(const Manifest& manifest)
    : files_(&manifest.files), whole_(manifest.files.size()), built_(false) {}

// Built in two passes, one that hashes the paths and one that places them, each asking the memory
// for what it needs a few entries ahead: at 100,000 files neither the paths nor the slots stay
// in the cache, and meeting each miss in turn costs several times the work.
void FileIndex::build() const {
    built_ = true;
    constexpr std::size_t kAhead = 2 * kAheadEntries;
    const std::vector<Entry>& files = *files_;
    slots_.assign(std::bit_ceil(std::max<std::size_t>(16, 2 * whole_)), 0);
    hashes_.resize(whole_);
    for (std::size_t i = 0; i < whole_; ++i) {
        if (i + kAhead < whole_) __builtin_prefetch(files[i + kAhead].path.data());
        hashes_[i] = pathHash(files[i].path);
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = 0; i < whole_; ++i) {
        if (i + kAhead < whole_) __builtin_prefetch(&slots_[hashes_[i + kAhead] & mask]);
        place(i, hashes_[i]);  // sized for every entry: nothing grows
    }
}

bool FileIndex::place(std::size_t i, std::uint32_t hash) const {
    std::uint64_t& slot = slots_[slotOf((*files_)[i].path, hash)];
    if (slot != 0) return false;
    slot = std::uint64_t{hash} << 32 | (i + 1);
    ++used_;
    return true;
}

// The slot's index is compared only when the hash matches, so a probe that passes other paths
// reads no entry but its own.
std::size_t FileIndex::slotOf(std::string_view path, std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0 || (slot >> 32 == hash && (*files_)[(slot & 0xffffffff) - 1].path == path))
            return i;
    }
}

bool FileIndex::add(std::size_t i) { return add(i, pathHash((*files_)[i].path)); }

std::uint32_t FileIndex::prefetch(std::string_view path) const {
    if (!built_) build();
    const std::uint32_t hash = pathHash(path);
    __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
    return hash;
}

bool FileIndex::add(std::size_t i, std::uint32_t hash) {
    if (!built_) build();
    if (!place(i, hash)) return false;
    if (2 * used_ > slots_.size()) grow();
    return true;
}

const Entry* FileIndex::find(std::string_view path) const {
    if (next_ < whole_ && (*files_)[next_].path == path) {
        if (next_ + kAheadEntries < whole_)
            __builtin_prefetch((*files_)[next_ + kAheadEntries].path.data());
        return &(*files_)[next_++];
    }
    if (!built_) build();
    const std::uint64_t slot = slots_[slotOf(path, pathHash(path))];
    if (slot == 0) return nullptr;
    const std::size_t i = (slot & 0xffffffff) - 1;
    next_ = i + 1;
    // Hints only: what a find of a later entry will read, if the look-ups keep the order.
    if (const std::size_t next = i + kAheadEntries; next < hashes_.size()) {
        __builtin_prefetch(&slots_[hashes_[next] & (slots_.size() - 1)]);
        __builtin_prefetch((*files_)[next].path.data());
        if (next + kAheadEntries < hashes_.size())
            __builtin_prefetch(&(*files_)[next + kAheadEntries]);
    }
    return &(*files_)[i];
}

std::vector<const Entry*> FileIndex::findEach(const std::vector<Entry>& wanted) const {
    // Twice the distance find asks ahead: each step here waits on two paths, not one.
    constexpr std::size_t kAhead = 2 * kAheadEntries;
    std::vector<const Entry*> found(wanted.size());
    const std::vector<Entry>& files = *files_;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (i + kAhead < wanted.size()) {
            __builtin_prefetch(wanted[i + kAhead].path.data());
            if (next_ + kAhead < whole_) __builtin_prefetch(files[next_ + kAhead].path.data());
        }
        found[i] = find(wanted[i].path);
    }
    return found;
}

void FileIndex::grow() {
    std::vector<std::uint64_t> old(2 * slots_.size(), 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint64_t slot : old) {
        if (slot == 0) continue;
        std::size_t i = (slot >> 32) & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

const char* platformName() { return "linux64"; }
const char* productName() { return "veilstone"; }

bool parseManifest(std::string_view text, Manifest& manifest, std::string& error) {
    manifest = Manifest();
    if (text.empty()) {
        error = "empty manifest";
        return false;
    }
    // Sized once from the file lines (the first line is the header, so each follows a line
    // feed): nothing grows while they are read, and a text of empty lines reserves nothing.
    std::size_t fileLines = 0;
    for (std::size_t at = text.find("\nfile "); at != std::string_view::npos;
         at = text.find("\nfile ", at + 1))
        ++fileLines;
    FileIndex seen(manifest.files, fileLines);
    manifest.files.reserve(fileLines);
    // A file's path is checked against the earlier ones while the next line is read, so that the
    // table's cache misses do not hold the reader up. Any other line, a failure and the end check
    // it first, so the failure reported is still the first in the text.
    std::size_t unchecked = 0;  // index + 1 of the file waiting for its check, or 0
    std::uint32_t uncheckedHash = 0;
    auto check = [&] {
        const std::size_t i = unchecked;
        unchecked = 0;
        if (i == 0 || seen.add(i - 1, uncheckedHash)) return true;
        error = "file listed twice: " + manifest.files[i - 1].path;
        manifest.files.resize(i - 1);
        return false;
    };
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;

        if (lineNumber == 1) {
            if (line != kHeader) {
                error = "not a manifest this launcher can read";
                return false;
            }
            continue;
        }
        Words words{line};
        std::string_view keyword;
        if (!words.next(keyword)) continue;
        if (keyword != "file" && !check()) return false;
        if (keyword == "platform" || keyword == "version") {
            std::string_view word;
            if (words.next(word))
                (keyword == "platform" ? manifest.platform : manifest.version) = word;
        } else if (keyword == "channel") {
            std::string_view word;
            if (words.next(word)) manifest.channel = word;
        } else if (keyword == "serial") {
            std::string_view word;
            std::uint64_t serial = 0;
            if (!words.next(word) || !parseSize(word, serial) || serial == 0) {
                error = "bad serial line";
                return false;
            }
            manifest.serial = serial;
        } else if (keyword == "launcher") {
            // Read into a copy so that a failing line leaves the earlier entry as it was.
            Entry launcher;
            if (!readEntryFields(words.rest, launcher, false)) {
                error = "bad launcher line";
                return false;
            }
            manifest.launcher = std::move(launcher);
        } else if (keyword == "file") {
            Entry entry;
            if (!readEntryFields(words.rest, entry, true)) {
                if (!check()) return false;
                error = "bad file line " + std::to_string(lineNumber);
                return false;
            }
            manifest.files.push_back(std::move(entry));
            const std::uint32_t hash = seen.prefetch(manifest.files.back().path);
            if (!check()) return false;
            unchecked = manifest.files.size();
            uncheckedHash = hash;
        } else if (keyword == "chunks") {
            // Belongs to the file line just before it; readers that do not know it skip it.
            Entry list;
            Entry* file = manifest.files.empty() ? nullptr : &manifest.files.back();
            if (file == nullptr || !file->chunksHash.empty() ||
                !readEntryFields(words.rest, list, false) || list.size == 0 ||
                list.size > maxChunkListBytes(file->size)) {
                error = "bad chunks line " + std::to_string(lineNumber);
                return false;
            }
            file->chunksHash = std::move(list.hash);
            file->chunksSize = list.size;
            file->chunksPackedSize = list.packedSize;
        }
    }
    if (!check()) return false;
    if (manifest.version.empty()) {
        error = "manifest has no version";
        return false;
    }
    return true;
}

std::string writeManifest(const Manifest& manifest) {
    std::string text;
    text += kHeader;
    text += "\nplatform " + manifest.platform + "\nversion " + manifest.version + "\n";
    if (!manifest.channel.empty()) text += "channel " + manifest.channel + "\n";
    if (manifest.serial != 0) text += "serial " + std::to_string(manifest.serial) + "\n";
    auto fields = [&text](const Entry& entry) {
        text +=
            entry.hash + " " + std::to_string(entry.size) + " " + std::to_string(entry.packedSize);
    };
    if (!manifest.launcher.hash.empty()) {
        text += "launcher ";
        fields(manifest.launcher);
        text += "\n";
    }
    for (const Entry& entry : manifest.files) {
        text += "file ";
        fields(entry);
        text += " " + entry.path + "\n";
        if (!entry.chunksHash.empty())
            text += "chunks " + entry.chunksHash + " " + std::to_string(entry.chunksSize) + " " +
                    std::to_string(entry.chunksPackedSize) + "\n";
    }
    return text;
}

}  // namespace kd
