// veilstone-release: the publisher's side of the update server. Makes release keys, hashes and
// signs texts, checks manifests, and publishes a game folder as packed objects plus a signed
// manifest (and news) that the launcher will accept.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "release/crypto.h"
#include "release/manifest.h"

namespace fs = std::filesystem;
using namespace kd;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kChunkBytes = 1 << 20;
constexpr int kPackLevel = 9;
constexpr std::size_t kSecretHexDigits = 2 * kSecretKeyBytes;

// Names the launcher writes into the game folder itself; a published file under one of them
// would be overwritten by the launcher's own record and fetched again on every start.

struct Command {
    const char* name;
    const char* usage;                 // the lines after "usage: veilstone-release "
    const char* help;                  // what the options mean, for --help
    std::vector<std::string> options;  // take a value
    std::vector<std::string> flags;    // take none
};

struct Args;
int keygen(const Args&);
int pubkey(const Args&);
int hash(const Args&);
int sign(const Args&);
int verify(const Args&);
int checkManifest(const Args&);
int publish(const Args&);

const Command kCommands[] = {
    {"keygen",
     "keygen --secret FILE",
     "Makes a release key pair: the secret goes to FILE (mode 0600, never overwritten),\n"
     "the public key is printed as 64 hex digits for VEILSTONE_RELEASE_KEY.\n",
     {"--secret"},
     {}},
    {"pubkey",
     "pubkey --secret FILE",
     "Prints the public key of a secret key file.\n",
     {"--secret"},
     {}},
    {"hash",
     "hash FILE...",
     "Prints the BLAKE2b-256 digest and name of each file, like b2sum -l 256; a file that cannot\n"
     "be read is reported and the rest still hashed.\n",
     {},
     {}},
    {"sign",
     "sign --secret FILE IN [OUT]",
     "Appends a signature line to IN, which must end with a line feed; writes OUT or stdout.\n",
     {"--secret"},
     {}},
    {"verify",
     "verify --public HEX FILE",
     "Checks a signed text against a public key and prints its body.\n",
     {"--public"},
     {}},
    {"check-manifest",
     "check-manifest [--public HEX] FILE",
     "Reads a manifest (signed, when --public is given) as the launcher would, refuses hashes a\n"
     "launcher could not install, and prints a summary.\n",
     {"--public"},
     {}},
    {"publish",
     "publish --secret FILE --version V [--platform P] [--channel live|testing]\n"
     "                [--news FILE] [--launcher FILE] [--allow-empty] [--progress] [--quiet]\n"
     "                GAME_DIR SERVER_DIR",
     "Packs every file of GAME_DIR into SERVER_DIR/objects, then writes the signed news and\n"
     "manifest for the channel (testing under SERVER_DIR/testing), numbered one above the serial\n"
     "of the manifest already there. Objects are written before the texts that name them.\n"
     "  --allow-empty  publish a release without files (players' installed files are removed)\n"
     "  --progress     show progress on stderr even when it is not a terminal\n"
     "  --quiet        print neither progress nor the summary\n",
     {"--secret", "--version", "--platform", "--channel", "--news", "--launcher"},
     {"--allow-empty", "--progress", "--quiet"}},
};

void printUsage(FILE* to, const Command* only) {
    const char* lead = "usage: ";
    for (const Command& command : kCommands) {
        if (only && only != &command) continue;
        fprintf(to, "%sveilstone-release %s\n", lead, command.usage);
        lead = "       ";
    }
}

int usage(const Command* command = nullptr) {
    printUsage(stderr, command);
    return kExitUsage;
}

int fail(const std::string& message) {
    fprintf(stderr, "%s\n", message.c_str());
    return kExitFailure;
}

// "--name value" options and bare flags anywhere, everything else positional; "--" ends options.
struct Args {
    const Command* command = nullptr;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;
    std::vector<std::string> positional;
    bool bad = false;
    bool help = false;

    Args(int argc, char** argv, const Command& of) : command(&of) {
        bool optionsEnded = false;
        for (int i = 2; i < argc; ++i) {
            std::string arg = argv[i];
            auto known = [&](const std::vector<std::string>& names) {
                return std::find(names.begin(), names.end(), arg) != names.end();
            };
            if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
                positional.push_back(arg);
            } else if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "--help" || arg == "-h") {
                help = true;
            } else if (known(of.flags)) {
                flags.push_back(arg);
            } else if (known(of.options) && i + 1 < argc) {
                options.emplace_back(arg, argv[++i]);
            } else {
                bad = true;
            }
        }
    }
    const std::string* get(const std::string& name) const {
        const std::string* found = nullptr;
        for (const auto& [key, value] : options)
            if (key == name) found = &value;
        return found;
    }
    bool has(const std::string& flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
};

bool readWhole(const std::string& path, std::string& text) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    text.clear();
    char buffer[65536];
    std::size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

// A name beside the target that no other writer uses, also not another publish running at the
// same time into the same folder.
std::string uniquePartName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + "." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part";
}

// Written beside the target and renamed into place, so a reader never sees half a file.
bool writeAtomic(const std::string& path, std::string_view bytes) {
    std::string part = uniquePartName(path);
    FILE* file = fopen(part.c_str(), "wbx");
    if (!file) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (fclose(file) == 0) && ok;
    if (ok && rename(part.c_str(), path.c_str()) == 0) return true;
    unlink(part.c_str());
    return false;
}

struct SecretKey {
    std::uint8_t bytes[kSecretKeyBytes];
    ~SecretKey() { std::memset(bytes, 0, sizeof bytes); }
    const std::uint8_t* publicKey() const { return bytes + kSeedBytes; }
};

bool readSecretKey(const std::string& path, SecretKey& key, std::string& error) {
    std::string text;
    if (!readWhole(path, text)) {
        error = "cannot read the secret key file " + path;
        return false;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    bool decoded = text.size() == kSecretHexDigits && hexDecode(text, key.bytes, kSecretKeyBytes);
    std::fill(text.begin(), text.end(), '\0');
    if (!decoded) {
        error = path + " is not a secret key file";
        return false;
    }
    // The public half is stored too; a mismatch means the file was edited or damaged.
    SecretKey derived;
    std::uint8_t publicKey[kPublicKeyBytes];
    keyPairFromSeed(key.bytes, derived.bytes, publicKey);
    if (std::memcmp(derived.bytes, key.bytes, kSecretKeyBytes) != 0) {
        error = "the secret key file " + path + " is damaged";
        return false;
    }
    return true;
}

bool readPublicKey(const std::string& hex, std::uint8_t key[kPublicKeyBytes]) {
    return hexDecode(hex, key, kPublicKeyBytes);
}

int keygen(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || !args.positional.empty()) return usage(args.command);
    SecretKey secret;
    std::uint8_t publicKey[kPublicKeyBytes];
    if (!makeKeyPair(secret.bytes, publicKey)) return fail("cannot read random bytes for a key");
    // O_EXCL: a release key is never overwritten by accident.
    int fd = open(secretPath->c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return fail(*secretPath + " already exists");
        return fail("cannot create " + *secretPath);
    }
    std::string text = hexEncode(secret.bytes, kSecretKeyBytes) + "\n";
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    std::fill(text.begin(), text.end(), '\0');
    ok = (close(fd) == 0) && ok;
    if (!ok) {
        unlink(secretPath->c_str());
        return fail("cannot write " + *secretPath);
    }
    printf("%s\n", hexEncode(publicKey, kPublicKeyBytes).c_str());
    return 0;
}

int pubkey(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || !args.positional.empty()) return usage(args.command);
    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);
    printf("%s\n", hexEncode(secret.publicKey(), kPublicKeyBytes).c_str());
    return 0;
}

// Like b2sum: every file that can be read is printed, the others reported, and the status
// says whether any failed.
int hash(const Args& args) {
    if (args.positional.empty()) return usage(args.command);
    int status = 0;
    for (const std::string& path : args.positional) {
        std::string digest = hashFile(path);
        if (digest.empty()) {
            fflush(stdout);
            fprintf(stderr, "cannot read %s\n", path.c_str());
            status = kExitFailure;
            continue;
        }
        printf("%s  %s\n", digest.c_str(), path.c_str());
    }
    return status;
}

int sign(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || args.positional.empty() || args.positional.size() > 2)
        return usage(args.command);
    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);
    const std::string& in = args.positional[0];
    std::string text;
    if (!readWhole(in, text)) return fail("cannot read " + in);
    // The signature line follows the body directly; without a final line feed the launcher
    // could not find it.
    if (!text.empty() && text.back() != '\n') return fail(in + " does not end with a line feed");
    std::string signedText = signText(text, secret.bytes);
    if (args.positional.size() == 2) {
        if (!writeAtomic(args.positional[1], signedText))
            return fail("cannot write " + args.positional[1]);
    } else {
        fwrite(signedText.data(), 1, signedText.size(), stdout);
    }
    return 0;
}

int verify(const Args& args) {
    const std::string* publicHex = args.get("--public");
    if (!publicHex || args.positional.size() != 1) return usage(args.command);
    std::uint8_t publicKey[kPublicKeyBytes];
    if (!readPublicKey(*publicHex, publicKey)) return fail("the public key must be 64 hex digits");
    std::string text, body;
    if (!readWhole(args.positional[0], text)) return fail("cannot read " + args.positional[0]);
    if (!verifySignedText(text, publicKey, body)) return fail("not signed by this key");
    fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}

bool isLowerHex(const std::string& hash) {
    return std::all_of(hash.begin(), hash.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

int checkManifest(const Args& args) {
    if (args.positional.size() != 1) return usage(args.command);
    std::string text;
    if (!readWhole(args.positional[0], text)) return fail("cannot read " + args.positional[0]);
    if (const std::string* publicHex = args.get("--public")) {
        std::uint8_t publicKey[kPublicKeyBytes];
        if (!readPublicKey(*publicHex, publicKey))
            return fail("the public key must be 64 hex digits");
        std::string body;
        if (!verifySignedText(text, publicKey, body)) return fail("not signed by this key");
        text = std::move(body);
    }
    Manifest manifest;
    std::string error;
    if (!parseManifest(text, manifest, error)) return fail(error);
    // The reader keeps hashes as written, but objects are named in lower case: an upper-case
    // hash names an object that is never found.
    if (!isLowerHex(manifest.launcher.hash)) return fail("the launcher hash is not in lower case");
    std::uint64_t size = 0, packed = 0;
    for (const Entry& entry : manifest.files) {
        if (!isLowerHex(entry.hash)) return fail("hash not in lower case for " + entry.path);
        size += entry.size;
        packed += entry.packedSize;
    }
    printf("platform %s\nversion %s\n", manifest.platform.c_str(), manifest.version.c_str());
    if (!manifest.channel.empty()) printf("channel %s\n", manifest.channel.c_str());
    if (manifest.serial != 0) printf("serial %llu\n", (unsigned long long)manifest.serial);
    printf("files %zu\nsize %llu\npacked %llu\n", manifest.files.size(), (unsigned long long)size,
           (unsigned long long)packed);
    return 0;
}

// ---- publish ----

struct Source {
    std::string path;      // relative, '/'-separated: the manifest path
    fs::path file;         // where it is on disk
    std::string cacheKey;  // which game folder (a hash of its absolute path), then path
};

// Names a game folder in the publish cache without writing the publisher's own paths into a
// folder that is served.
std::string gameFolderKey(const fs::path& root) {
    std::error_code ec;
    const std::string absolute = fs::absolute(root, ec).lexically_normal().string();
    return hashBuffer(absolute.data(), absolute.size()).substr(0, 32) + " ";
}

// Every regular file under the game folder; anything the launcher could not reproduce exactly
// (links, devices, unsafe names, its own state files) is refused rather than silently left out.
// The folder itself may be reached through a link; links inside it are refused.
bool listGameFiles(const fs::path& root, std::vector<Source>& sources, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(fs::status(root, ec))) {
        error = root.string() + " is not a folder";
        return false;
    }
    const std::string rootKey = gameFolderKey(root);
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        std::string relative = it->path().lexically_relative(root).generic_string();
        if (isLauncherOwnedPath(relative)) {
            error = "cannot publish a name the launcher keeps for itself: " + relative;
            return false;
        }
        if (fs::is_directory(status)) continue;
        if (fs::is_symlink(status)) {
            error = "cannot publish a symbolic link: " + relative;
            return false;
        }
        if (!fs::is_regular_file(status)) {
            error = "cannot publish a special file: " + relative;
            return false;
        }
        // The reader skips blanks before a path, so such a name would come back different.
        if (!isSafePath(relative) || relative[0] == ' ') {
            error = "cannot publish a file under this name: " + relative;
            return false;
        }
        sources.push_back({relative, it->path(), rootKey + relative});
    }
    if (ec) {
        error = "cannot list " + root.string();
        return false;
    }
    std::sort(sources.begin(), sources.end(),
              [](const Source& a, const Source& b) { return a.path < b.path; });
    return true;
}

// A server folder in the game folder would be published into itself and grow every time.
bool serverInsideGame(const fs::path& game, const fs::path& server) {
    std::error_code ec;
    fs::path gameReal = fs::canonical(game, ec);
    if (ec) return false;
    fs::path serverReal = fs::weakly_canonical(fs::absolute(server, ec), ec);
    if (ec) return false;
    auto [g, s] =
        std::mismatch(gameReal.begin(), gameReal.end(), serverReal.begin(), serverReal.end());
    return g == gameReal.end();
}

// The serial of the release already published here, 0 when there is none. A manifest signed by
// another key still counts: launchers that saw its serial would refuse anything lower.
bool previousSerial(const fs::path& file, const std::uint8_t* publicKey, std::uint64_t& serial,
                    std::string& error) {
    serial = 0;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec))) return true;
    std::string text, body;
    Manifest previous;
    std::string ignored;
    if (readWhole(file.string(), text) &&
        parseManifest(verifySignedText(text, publicKey, body) ? body : text, previous, ignored) &&
        previous.serial != UINT64_MAX) {
        serial = previous.serial;
        return true;
    }
    error = "cannot number this release: the manifest at " + file.string() + " cannot be read";
    return false;
}

// Counts work done for the progress line; the counters are the only state the workers share
// with the reporting thread.
struct Progress {
    std::atomic<std::size_t> files{0};
    std::atomic<std::uint64_t> bytes{0};
};

class ProgressLine {
public:
    ProgressLine(bool shown, const char* what, std::size_t totalFiles, std::uint64_t totalBytes,
                 const Progress& progress)
        : shown_(shown),
          what_(what),
          totalFiles_(totalFiles),
          totalBytes_(totalBytes),
          progress_(progress),
          start_(std::chrono::steady_clock::now()) {
        if (shown_) thread_ = std::thread([this] { run(); });
    }
    ~ProgressLine() {
        if (!shown_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
        print();
        fputc('\n', stderr);
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; }))
            print();
    }
    void print() const {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        double mib = double(progress_.bytes) / (1 << 20);
        fprintf(stderr, "\r%s %zu of %zu files, %.1f of %.1f MiB, %.1f MiB/s   ", what_,
                progress_.files.load(), totalFiles_, mib, double(totalBytes_) / (1 << 20),
                seconds > 0 ? mib / seconds : 0.0);
        fflush(stderr);
    }

    bool shown_;
    const char* what_;
    std::size_t totalFiles_;
    std::uint64_t totalBytes_;
    const Progress& progress_;
    std::chrono::steady_clock::time_point start_;
    std::thread thread_;
    std::mutex mutex_;  // guards done_
    std::condition_variable wake_;
    bool done_ = false;
};

// Two piece buffers per worker thread, reused from file to file, so that a game of many small
// files does not cost two large allocations for each.
struct Buffers {
    std::vector<unsigned char> in = std::vector<unsigned char>(kChunkBytes);
    std::vector<unsigned char> out = std::vector<unsigned char>(kChunkBytes);
};

Buffers& threadBuffers() {
    thread_local Buffers buffers;
    return buffers;
}

// Hashes a file in pieces, so that memory does not grow with the file.
bool hashWhole(const fs::path& file, std::string& digest, std::uint64_t& size,
               Progress* progress = nullptr) {
    FILE* in = fopen(file.c_str(), "rb");
    if (!in) return false;
    std::vector<unsigned char>& buffer = threadBuffers().in;
    FileHasher hasher;
    size = 0;
    std::size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        hasher.add(buffer.data(), got);
        size += got;
        if (progress) progress->bytes += got;
    }
    bool ok = !ferror(in);
    fclose(in);
    digest = hasher.finish();
    return ok;
}
// True when the object already on the server unpacks to exactly this content.
bool objectHolds(const fs::path& object, const std::string& digest, std::uint64_t size) {
    FILE* in = fopen(object.c_str(), "rb");
    if (!in) return false;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        fclose(in);
        return false;
    }
    std::vector<unsigned char>& packed = threadBuffers().in;
    std::vector<unsigned char>& unpacked = threadBuffers().out;
    FileHasher hasher;
    std::uint64_t total = 0;
    int status = Z_OK;
    std::size_t got = 0;
    while (status != Z_STREAM_END && (got = fread(packed.data(), 1, packed.size(), in)) > 0) {
        stream.next_in = packed.data();
        stream.avail_in = unsigned(got);
        while (stream.avail_in > 0 && status != Z_STREAM_END) {
            stream.next_out = unpacked.data();
            stream.avail_out = unsigned(unpacked.size());
            status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END) break;
            std::size_t produced = unpacked.size() - stream.avail_out;
            hasher.add(unpacked.data(), produced);
            total += produced;
        }
        if (status != Z_OK && status != Z_STREAM_END) break;
    }
    // Trailing bytes after the stream would make the launcher's strict reader refuse it.
    bool trailing = stream.avail_in > 0 || fread(packed.data(), 1, 1, in) > 0;
    inflateEnd(&stream);
    fclose(in);
    return status == Z_STREAM_END && !trailing && total == size && hasher.finish() == digest;
}

// Packs a file into a temporary name beside the object in pieces, re-hashing what it reads so a
// file that changed since it was hashed is noticed, then renames the object into place.
bool packObject(const fs::path& file, const fs::path& object, const std::string& digest,
                std::uint64_t& packedSize, std::string& error, const std::string& name,
                Progress* progress) {
    FILE* in = fopen(file.c_str(), "rb");
    if (!in) {
        error = "cannot read " + name;
        return false;
    }
    std::string part = uniquePartName(object.string());
    FILE* out = fopen(part.c_str(), "wbx");
    if (!out) {
        fclose(in);
        error = "cannot write " + object.string();
        return false;
    }
    z_stream stream{};
    deflateInit(&stream, kPackLevel);
    std::vector<unsigned char>& raw = threadBuffers().in;
    std::vector<unsigned char>& packed = threadBuffers().out;
    FileHasher hasher;
    bool ok = true;
    packedSize = 0;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        std::size_t got = fread(raw.data(), 1, raw.size(), in);
        if (ferror(in)) {
            ok = false;
            error = "cannot read " + name;
            break;
        }
        hasher.add(raw.data(), got);
        if (progress) progress->bytes += got;
        flush = got < raw.size() ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = raw.data();
        stream.avail_in = unsigned(got);
        do {
            stream.next_out = packed.data();
            stream.avail_out = unsigned(packed.size());
            deflate(&stream, flush);
            std::size_t produced = packed.size() - stream.avail_out;
            if (fwrite(packed.data(), 1, produced, out) != produced) {
                ok = false;
                error = "cannot write " + object.string();
                break;
            }
            packedSize += produced;
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    fclose(in);
    if (fclose(out) != 0 && ok) {
        ok = false;
        error = "cannot write " + object.string();
    }
    if (ok && hasher.finish() != digest) {
        ok = false;
        error = name + " changed while it was being published";
    }
    if (ok && rename(part.c_str(), object.c_str()) != 0) {
        ok = false;
        error = "cannot write " + object.string();
    }
    if (!ok) unlink(part.c_str());
    return ok;
}

// ---- what the last publish learnt about each game file ----

// Kept in the server folder, so that publishing a folder that did not change reads nothing but
// its listing. A file counts as unchanged only when its folder, path, device, inode, size,
// modification and change times are all as recorded; the change time cannot be set back by copying
// tools, so a file rewritten with its old size and time is still noticed.
constexpr const char* kCacheName = ".publish-cache";
constexpr const char* kLockName = ".publish-lock";
constexpr const char* kCacheHeader = "veilstone-publish-cache 1";
// A file whose change time is this close to the moment it was looked at is not recorded: a
// second change within the file system's clock step would leave its times as they were.
constexpr std::int64_t kFineSettleNs = 100'000'000;
constexpr std::int64_t kCoarseSettleNs = 3'000'000'000;  // for file systems with whole seconds

struct Identity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedNs = 0, changedNs = 0;
    bool operator==(const Identity&) const = default;
};

struct Known {
    Identity identity;
    std::string hash;
    std::uint64_t packedSize = 0;
};

using Cache = std::map<std::string, Known>;  // by game folder key and path

bool identify(const fs::path& file, Identity& identity) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) return false;
    auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    identity = {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::uint64_t(info.st_size),
                ns(info.st_mtim), ns(info.st_ctim)};
    return true;
}

bool settled(const Identity& identity, std::int64_t lookedAtNs) {
    if (identity.inode == 0) return false;  // never looked at
    bool coarse =
        identity.modifiedNs % 1'000'000'000 == 0 && identity.changedNs % 1'000'000'000 == 0;
    return lookedAtNs - identity.changedNs > (coarse ? kCoarseSettleNs : kFineSettleNs);
}

std::int64_t wallClockNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// A missing or damaged cache is an empty one: it only saves reading.
Cache readCache(const fs::path& file) {
    Cache cache;
    std::string text;
    if (!readWhole(file.string(), text) || text.rfind(std::string(kCacheHeader) + "\n", 0) != 0)
        return cache;
    std::size_t at = text.find('\n') + 1;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        Known known;
        char hash[65] = {};
        unsigned long long dev, ino, size, packed;
        long long modified, changed;
        int used = 0;
        if (sscanf(line.c_str(), "%llu %llu %llu %lld %lld %64s %llu %n", &dev, &ino, &size,
                   &modified, &changed, hash, &packed, &used) != 7 ||
            used == 0 || std::strlen(hash) != 64 || !isLowerHex(hash))
            continue;
        known.identity = {dev, ino, size, modified, changed};
        known.hash = hash;
        known.packedSize = packed;
        cache[line.substr(std::size_t(used))] = known;
    }
    return cache;
}

void writeCache(const fs::path& file, const Cache& cache) {
    std::string text = std::string(kCacheHeader) + "\n";
    char numbers[160];
    for (const auto& [path, known] : cache) {
        if (path.find('\n') != std::string::npos) continue;
        const Identity& id = known.identity;
        snprintf(numbers, sizeof numbers, "%llu %llu %llu %lld %lld ",
                 (unsigned long long)id.device, (unsigned long long)id.inode,
                 (unsigned long long)id.size, (long long)id.modifiedNs, (long long)id.changedNs);
        text += numbers + known.hash + " " + std::to_string(known.packedSize) + " " + path + "\n";
    }
    writeAtomic(file.string(), text);  // a cache not written costs reading next time, nothing more
}

struct Packed {
    Entry entry;
    bool isNew = false;
    Identity identity;             // as seen before the file was read
    std::int64_t lookedAtNs = 0;   // when
    const Known* known = nullptr;  // the cache's record, when the file is unchanged since
};

// Makes sure the object for this content exists on the server and fills in its packed size.
bool publishObject(const fs::path& file, const std::string& name, const fs::path& objects,
                   Packed& result, std::string& error, Progress* progress = nullptr) {
    Entry& entry = result.entry;
    fs::path object = objects / entry.hash;
    std::error_code sizeError;
    // An object this tool wrote for an unchanged file is trusted by its size, not read again.
    if (result.known && fs::file_size(object, sizeError) == result.known->packedSize &&
        !sizeError) {
        entry.packedSize = result.known->packedSize;
        return true;
    }
    if (objectHolds(object, entry.hash, entry.size)) {
        std::error_code ec;
        entry.packedSize = fs::file_size(object, ec);
        if (!ec) {
            if (progress) progress->bytes += entry.size;
            return true;
        }
    }
    result.isNew = true;
    return packObject(file, object, entry.hash, entry.packedSize, error, name, progress);
}

bool isOneWord(const std::string& word) {
    if (word.empty()) return false;
    for (unsigned char c : word)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

unsigned packThreads() { return std::max(1u, std::min(std::thread::hardware_concurrency(), 8u)); }

// Runs work(i, error) for every index on packThreads() threads; the first failure stops the rest.
bool parallelFor(std::size_t count, const std::function<bool(std::size_t, std::string&)>& work,
                 std::string& error) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;  // guards error
    auto worker = [&] {
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            std::string message;
            if (!work(i, message)) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true)) error = message;
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < packThreads(); ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    return !failed;
}

struct Totals {
    std::uint64_t bytes = 0;
    std::size_t newObjects = 0, reusedObjects = 0, unchangedFiles = 0;
};

// Hashes every file the cache does not know unchanged, then packs each distinct content once;
// each worker streams one file at a time, so memory does not grow with the size of the game.
bool publishAll(const std::vector<Source>& sources, const Cache& cache, const fs::path& objects,
                bool showProgress, std::vector<Packed>& results, Totals& totals,
                std::string& error) {
    results.assign(sources.size(), Packed());
    std::uint64_t totalBytes = 0;
    std::error_code ec;
    for (const Source& source : sources) totalBytes += fs::file_size(source.file, ec);
    {
        Progress progress;
        ProgressLine line(showProgress, "hashed", sources.size(), totalBytes, progress);
        auto hashOne = [&](std::size_t i, std::string& message) {
            Packed& result = results[i];
            result.entry.path = sources[i].path;
            result.lookedAtNs = wallClockNs();
            if (identify(sources[i].file, result.identity)) {
                auto known = cache.find(sources[i].cacheKey);
                if (known != cache.end() && known->second.identity == result.identity) {
                    result.known = &known->second;
                    result.entry.hash = known->second.hash;
                    result.entry.size = result.identity.size;
                    progress.bytes += result.entry.size;
                    progress.files++;
                    return true;
                }
            }
            bool ok = hashWhole(sources[i].file, result.entry.hash, result.entry.size, &progress);
            progress.files++;
            if (!ok) message = "cannot read " + sources[i].path;
            return ok;
        };
        if (!parallelFor(sources.size(), hashOne, error)) return false;
    }

    std::map<std::string, std::size_t> firstWithHash;
    std::vector<std::size_t> distinct;
    std::uint64_t distinctBytes = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!firstWithHash.emplace(results[i].entry.hash, i).second) continue;
        distinct.push_back(i);
        distinctBytes += results[i].entry.size;
    }
    {
        Progress progress;
        ProgressLine line(showProgress, "packed", distinct.size(), distinctBytes, progress);
        auto packOne = [&](std::size_t k, std::string& message) {
            std::size_t i = distinct[k];
            bool ok = publishObject(sources[i].file, sources[i].path, objects, results[i], message,
                                    &progress);
            progress.files++;
            return ok;
        };
        if (!parallelFor(distinct.size(), packOne, error)) return false;
    }
    for (std::size_t i : distinct) ++(results[i].isNew ? totals.newObjects : totals.reusedObjects);
    for (Packed& result : results) {
        totals.unchangedFiles += result.known != nullptr;
        result.entry.packedSize = results[firstWithHash[result.entry.hash]].entry.packedSize;
        totals.bytes += result.entry.size;
    }
    return true;
}

int publish(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    const std::string* version = args.get("--version");
    const std::string* platformArg = args.get("--platform");
    const std::string* channelArg = args.get("--channel");
    const std::string* newsPath = args.get("--news");
    const std::string* launcherPath = args.get("--launcher");
    if (!secretPath || !version || args.positional.size() != 2) return usage(args.command);
    std::string platform = platformArg ? *platformArg : platformName();
    std::string channel = channelArg ? *channelArg : "live";
    if (channel != "live" && channel != "testing") return usage(args.command);
    if (!isOneWord(*version)) return fail("the version must be one word");
    if (!isOneWord(platform)) return fail("the platform must be one word");
    bool quiet = args.has("--quiet");
    bool showProgress = !quiet && (args.has("--progress") || isatty(STDERR_FILENO));
    auto started = std::chrono::steady_clock::now();

    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);

    std::string news;
    if (newsPath) {
        if (!readWhole(*newsPath, news)) return fail("cannot read " + *newsPath);
        // The signature line must start a line of its own.
        if (!news.empty() && news.back() != '\n') news += '\n';
    }

    const fs::path gameDir = args.positional[0], serverDir = args.positional[1];
    std::vector<Source> sources;
    if (!listGameFiles(gameDir, sources, error)) return fail(error);
    if (serverInsideGame(gameDir, serverDir))
        return fail("the server folder must not be the game folder or inside it");
    // Players would have every installed file removed.
    if (sources.empty() && !args.has("--allow-empty"))
        return fail(
            "the game folder holds no files; give --allow-empty to publish an empty release");

    // One publish at a time per server folder: two at once would take the same serial, and the
    // later cache would forget what the other packed. The lock ends with the process.
    std::error_code ec;
    fs::create_directories(serverDir, ec);
    const int lock = open((serverDir / kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) return fail("cannot create folders in " + serverDir.string());
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        if (!quiet) fprintf(stderr, "waiting for another publish to %s\n", serverDir.c_str());
        if (flock(lock, LOCK_EX) != 0) return fail("cannot lock " + serverDir.string());
    }

    fs::path objects = serverDir / "objects";
    fs::path channelDir = channel == "testing" ? serverDir / "testing" : serverDir;
    fs::path manifestFile = channelDir / ("manifest-" + platform + ".txt");
    Manifest manifest;
    if (!previousSerial(manifestFile, secret.publicKey(), manifest.serial, error))
        return fail(error);
    ++manifest.serial;
    manifest.channel = channel;
    manifest.platform = platform;
    manifest.version = *version;

    fs::create_directories(objects, ec);
    fs::create_directories(channelDir, ec);
    if (!fs::is_directory(objects) || !fs::is_directory(channelDir))
        return fail("cannot create folders in " + serverDir.string());

    Totals totals;
    if (launcherPath) {
        Packed launcher;
        if (!hashWhole(*launcherPath, launcher.entry.hash, launcher.entry.size))
            return fail("cannot read " + *launcherPath);
        if (!publishObject(*launcherPath, *launcherPath, objects, launcher, error))
            return fail(error);
        manifest.launcher = launcher.entry;
        ++(launcher.isNew ? totals.newObjects : totals.reusedObjects);
    }
    const fs::path cacheFile = serverDir / kCacheName;
    const Cache cache = readCache(cacheFile);
    std::vector<Packed> results;
    if (!publishAll(sources, cache, objects, showProgress, results, totals, error))
        return fail(error);
    std::uint64_t packed = 0;
    for (const Packed& result : results) {
        packed += result.entry.packedSize;
        manifest.files.push_back(result.entry);
    }

    // Whatever the writer produces must read back as the same record in the launcher.
    std::string text = writeManifest(manifest);
    Manifest check;
    if (!parseManifest(text, check, error) || !(check == manifest))
        return fail("the manifest would not read back: " + error);

    // Objects first, then the news, the manifest last: a reader never sees a manifest whose
    // objects are missing.
    if (newsPath && !writeAtomic((channelDir / "news.txt").string(), signText(news, secret.bytes)))
        return fail("cannot write " + (channelDir / "news.txt").string());
    if (!writeAtomic(manifestFile.string(), signText(text, secret.bytes)))
        return fail("cannot write " + manifestFile.string());

    // Other game folders published here keep their records; this one's are replaced.
    Cache updated;
    const std::string gameKey = gameFolderKey(gameDir);
    for (const auto& [key, known] : cache)
        if (key.rfind(gameKey, 0) != 0) updated.emplace(key, known);
    for (std::size_t i = 0; i < results.size(); ++i)
        if (settled(results[i].identity, results[i].lookedAtNs))
            updated[sources[i].cacheKey] = {results[i].identity, results[i].entry.hash,
                                            results[i].entry.packedSize};
    writeCache(cacheFile, updated);

    if (!quiet) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        printf(
            "published %s for %s on the %s channel as serial %llu: %zu files, %llu bytes, "
            "%llu packed bytes, %zu new objects, %zu reused, %zu files unchanged, %.2f s\n",
            version->c_str(), platform.c_str(), channel.c_str(),
            (unsigned long long)manifest.serial, manifest.files.size(),
            (unsigned long long)totals.bytes, (unsigned long long)packed, totals.newObjects,
            totals.reusedObjects, totals.unchangedFiles, seconds);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using Run = int (*)(const Args&);
    const Run runs[] = {keygen, pubkey, hash, sign, verify, checkManifest, publish};
    if (argc < 2) return usage();
    std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        printUsage(stdout, nullptr);
        printf("\nveilstone-release COMMAND --help tells more about one command.\n");
        return 0;
    }
    for (std::size_t i = 0; i < std::size(kCommands); ++i) {
        const Command& command = kCommands[i];
        if (first != command.name) continue;
        Args args(argc, argv, command);
        if (args.help) {
            printUsage(stdout, &command);
            printf("\n%s", command.help);
            return 0;
        }
        return args.bad ? usage(&command) : runs[i](args);
    }
    return usage();
}
