// veilstone-release: the publisher's side of the update server. Makes release keys, hashes and
// signs texts, checks manifests, and publishes a game folder as packed objects plus a signed
// manifest (and news) that the launcher will accept.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/paths.h"
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

const char* const kUsage =
    "usage: veilstone-release keygen --secret FILE\n"
    "       veilstone-release pubkey --secret FILE\n"
    "       veilstone-release hash FILE...\n"
    "       veilstone-release sign --secret FILE IN [OUT]\n"
    "       veilstone-release verify --public HEX FILE\n"
    "       veilstone-release check-manifest [--public HEX] FILE\n"
    "       veilstone-release publish --secret FILE --version V [--platform P]\n"
    "                         [--channel live|testing] [--news FILE] [--launcher FILE]\n"
    "                         GAME_DIR SERVER_DIR\n";

int usage() {
    fputs(kUsage, stderr);
    return kExitUsage;
}

int fail(const std::string& message) {
    fprintf(stderr, "%s\n", message.c_str());
    return kExitFailure;
}

// A small option reader: "--name value" pairs anywhere, everything else positional.
struct Args {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> positional;
    bool bad = false;

    Args(int argc, char** argv, const std::vector<std::string>& known) {
        for (int i = 2; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg.rfind("--", 0) == 0) {
                if (std::find(known.begin(), known.end(), arg) == known.end() || i + 1 >= argc) {
                    bad = true;
                    return;
                }
                options.emplace_back(arg, argv[++i]);
            } else {
                positional.push_back(arg);
            }
        }
    }
    const std::string* get(const std::string& name) const {
        const std::string* found = nullptr;
        for (const auto& [key, value] : options)
            if (key == name) found = &value;
        return found;
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

// Written beside the target and renamed into place, so a reader never sees half a file.
bool writeAtomic(const std::string& path, std::string_view bytes) {
    std::string part = path + ".part";
    FILE* file = fopen(part.c_str(), "wb");
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
    if (!secretPath || !args.positional.empty()) return usage();
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
    if (!secretPath || !args.positional.empty()) return usage();
    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);
    printf("%s\n", hexEncode(secret.bytes + 32, kPublicKeyBytes).c_str());
    return 0;
}

int hash(const Args& args) {
    if (args.positional.empty() || !args.options.empty()) return usage();
    for (const std::string& path : args.positional) {
        std::string digest = hashFile(path);
        if (digest.empty()) return fail("cannot read " + path);
        printf("%s  %s\n", digest.c_str(), path.c_str());
    }
    return 0;
}

int sign(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || args.positional.empty() || args.positional.size() > 2) return usage();
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
    if (!publicHex || args.positional.size() != 1) return usage();
    std::uint8_t publicKey[kPublicKeyBytes];
    if (!readPublicKey(*publicHex, publicKey)) return fail("the public key must be 64 hex digits");
    std::string text, body;
    if (!readWhole(args.positional[0], text)) return fail("cannot read " + args.positional[0]);
    if (!verifySignedText(text, publicKey, body)) return fail("not signed by this key");
    fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}

int checkManifest(const Args& args) {
    if (args.positional.size() != 1) return usage();
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
    std::uint64_t size = 0, packed = 0;
    for (const Entry& entry : manifest.files) {
        size += entry.size;
        packed += entry.packedSize;
    }
    printf("platform %s\nversion %s\nfiles %zu\nsize %llu\npacked %llu\n",
           manifest.platform.c_str(), manifest.version.c_str(), manifest.files.size(),
           (unsigned long long)size, (unsigned long long)packed);
    return 0;
}

// ---- publish ----

struct Source {
    std::string path;  // relative, '/'-separated: the manifest path
    fs::path file;     // where it is on disk
};

// Every regular file under the game folder; anything the launcher could not reproduce exactly
// (links, devices, unsafe names) is refused rather than silently left out.
bool listGameFiles(const fs::path& root, std::vector<Source>& sources, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec))) {
        error = root.string() + " is not a folder";
        return false;
    }
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        std::string relative = it->path().lexically_relative(root).generic_string();
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
        sources.push_back({relative, it->path()});
    }
    if (ec) {
        error = "cannot list " + root.string();
        return false;
    }
    std::sort(sources.begin(), sources.end(),
              [](const Source& a, const Source& b) { return a.path < b.path; });
    return true;
}

// Hashes a file in pieces, so that memory does not grow with the file.
bool hashWhole(const fs::path& file, std::string& digest, std::uint64_t& size) {
    FILE* in = fopen(file.c_str(), "rb");
    if (!in) return false;
    std::vector<unsigned char> buffer(kChunkBytes);
    FileHasher hasher;
    size = 0;
    std::size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        hasher.add(buffer.data(), got);
        size += got;
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
    std::vector<unsigned char> packed(kChunkBytes), unpacked(kChunkBytes);
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

// Packs a file into object + ".part" in pieces, re-hashing what it reads so a file that changed
// since it was hashed is noticed, then renames the object into place.
bool packObject(const fs::path& file, const fs::path& object, const std::string& digest,
                std::uint64_t& packedSize, std::string& error, const std::string& name) {
    FILE* in = fopen(file.c_str(), "rb");
    if (!in) {
        error = "cannot read " + name;
        return false;
    }
    std::string part = object.string() + ".part";
    FILE* out = fopen(part.c_str(), "wb");
    if (!out) {
        fclose(in);
        error = "cannot write " + part;
        return false;
    }
    z_stream stream{};
    deflateInit(&stream, kPackLevel);
    std::vector<unsigned char> raw(kChunkBytes), packed(kChunkBytes);
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
                error = "cannot write " + part;
                break;
            }
            packedSize += produced;
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    fclose(in);
    if (fclose(out) != 0 && ok) {
        ok = false;
        error = "cannot write " + part;
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

struct Packed {
    Entry entry;
    bool isNew = false;
};

// Makes sure the object for this content exists on the server and fills in its packed size.
bool publishObject(const fs::path& file, const std::string& name, const fs::path& objects,
                   Packed& result, std::string& error) {
    Entry& entry = result.entry;
    fs::path object = objects / entry.hash;
    if (objectHolds(object, entry.hash, entry.size)) {
        std::error_code ec;
        entry.packedSize = fs::file_size(object, ec);
        if (!ec) return true;
    }
    result.isNew = true;
    return packObject(file, object, entry.hash, entry.packedSize, error, name);
}

bool isOneWord(const std::string& word) {
    if (word.empty()) return false;
    for (unsigned char c : word)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

// Runs work(i, error) for every index on all cores; the first failure stops the rest.
bool parallelFor(std::size_t count, const std::function<bool(std::size_t, std::string&)>& work,
                 std::string& error) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    auto worker = [&] {
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            std::string message;
            if (!work(i, message)) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true)) error = message;
            }
        }
    };
    unsigned threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    return !failed;
}

// Hashes every file, then packs each distinct content once; each worker streams one file at a
// time, so memory does not grow with the size of the game.
bool publishAll(const std::vector<Source>& sources, const fs::path& objects,
                std::vector<Packed>& results, std::string& error) {
    results.assign(sources.size(), Packed());
    auto hashOne = [&](std::size_t i, std::string& message) {
        results[i].entry.path = sources[i].path;
        if (hashWhole(sources[i].file, results[i].entry.hash, results[i].entry.size)) return true;
        message = "cannot read " + sources[i].path;
        return false;
    };
    if (!parallelFor(sources.size(), hashOne, error)) return false;

    std::map<std::string, std::size_t> firstWithHash;
    std::vector<std::size_t> distinct;
    for (std::size_t i = 0; i < results.size(); ++i)
        if (firstWithHash.emplace(results[i].entry.hash, i).second) distinct.push_back(i);
    auto packOne = [&](std::size_t k, std::string& message) {
        std::size_t i = distinct[k];
        return publishObject(sources[i].file, sources[i].path, objects, results[i], message);
    };
    if (!parallelFor(distinct.size(), packOne, error)) return false;
    for (Packed& result : results)
        result.entry.packedSize = results[firstWithHash[result.entry.hash]].entry.packedSize;
    return true;
}

int publish(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    const std::string* version = args.get("--version");
    const std::string* platformArg = args.get("--platform");
    const std::string* channelArg = args.get("--channel");
    const std::string* newsPath = args.get("--news");
    const std::string* launcherPath = args.get("--launcher");
    if (!secretPath || !version || args.positional.size() != 2) return usage();
    std::string platform = platformArg ? *platformArg : platformName();
    std::string channel = channelArg ? *channelArg : "live";
    if (channel != "live" && channel != "testing") return usage();
    if (!isOneWord(*version)) return fail("the version must be one word");
    if (!isOneWord(platform)) return fail("the platform must be one word");

    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);

    std::string news;
    if (newsPath) {
        if (!readWhole(*newsPath, news)) return fail("cannot read " + *newsPath);
        // The signature line must start a line of its own.
        if (!news.empty() && news.back() != '\n') news += '\n';
    }

    std::vector<Source> sources;
    if (!listGameFiles(args.positional[0], sources, error)) return fail(error);

    fs::path serverDir = args.positional[1];
    fs::path objects = serverDir / "objects";
    fs::path channelDir = channel == "testing" ? serverDir / "testing" : serverDir;
    std::error_code ec;
    fs::create_directories(objects, ec);
    fs::create_directories(channelDir, ec);
    if (!fs::is_directory(objects) || !fs::is_directory(channelDir))
        return fail("cannot create folders in " + serverDir.string());

    Manifest manifest;
    manifest.platform = platform;
    manifest.version = *version;
    std::size_t newObjects = 0;
    if (launcherPath) {
        Packed launcher;
        if (!hashWhole(*launcherPath, launcher.entry.hash, launcher.entry.size))
            return fail("cannot read " + *launcherPath);
        if (!publishObject(*launcherPath, *launcherPath, objects, launcher, error))
            return fail(error);
        manifest.launcher = launcher.entry;
        newObjects += launcher.isNew;
    }
    std::vector<Packed> results;
    if (!publishAll(sources, objects, results, error)) return fail(error);

    std::uint64_t size = 0, packed = 0;
    for (Packed& result : results) {
        size += result.entry.size;
        packed += result.entry.packedSize;
        newObjects += result.isNew;
        manifest.files.push_back(std::move(result.entry));
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
    fs::path manifestFile = channelDir / ("manifest-" + platform + ".txt");
    if (!writeAtomic(manifestFile.string(), signText(text, secret.bytes)))
        return fail("cannot write " + manifestFile.string());

    printf("published %s for %s on the %s channel: %zu files, %llu bytes, %llu packed bytes, "
           "%zu new objects\n",
           version->c_str(), platform.c_str(), channel.c_str(), manifest.files.size(),
           (unsigned long long)size, (unsigned long long)packed, newObjects);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    struct Command {
        const char* name;
        std::vector<std::string> options;
        int (*run)(const Args&);
    };
    const Command commands[] = {
        {"keygen", {"--secret"}, keygen},
        {"pubkey", {"--secret"}, pubkey},
        {"hash", {}, hash},
        {"sign", {"--secret"}, sign},
        {"verify", {"--public"}, verify},
        {"check-manifest", {"--public"}, checkManifest},
        {"publish",
         {"--secret", "--version", "--platform", "--channel", "--news", "--launcher"},
         publish},
    };
    if (argc < 2) return usage();
    for (const Command& command : commands) {
        if (std::strcmp(argv[1], command.name) != 0) continue;
        Args args(argc, argv, command.options);
        return args.bad ? usage() : command.run(args);
    }
    return usage();
}
