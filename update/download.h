// Inside the update engine: one object from the server, streamed through inflate and the hash into
// wherever its bytes go, up to three attempts. Every other download of the engine (whole objects in
// staging, chunks of a big file, chunk lists, the launcher) is one of these.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "release/manifest.h"
#include "update/job.h"

namespace kd::launcher {

// Where an object's unpacked bytes go. Each attempt starts with begin and ends with end, whatever
// came between; false from any of them stops the object at once (the disk, not the server, failed),
// with error() saying why.
class ObjectSink {
public:
    virtual ~ObjectSink() = default;
    virtual bool begin() = 0;
    virtual bool write(const std::uint8_t* data, std::size_t length) = 0;
    virtual bool end() = 0;
    virtual int error() const = 0;
    // Where the object's packed bytes are kept as they arrive, so that an attempt or a run after
    // an interruption asks the server only for the rest; empty when they are not kept.
    virtual std::filesystem::path packedCopy() const { return {}; }
};

// The object of entry into sink. progress receives the bytes received of the current attempt. On
// false error holds the sentence: the server's, a damaged or wrong download, "cancelled", or, when
// the sink failed, writeFailure(sink.error()).
// Each attempt asks the next server, from the one that goes first now.
bool fetchObject(Servers& servers, const Entry& entry, ObjectSink& sink,
                 const std::function<void(std::uint64_t received)>& progress,
                 const std::atomic<bool>* cancel,
                 const std::function<std::string(int error)>& writeFailure, std::string& error);

// One object into file (written as file + ".part", then renamed). A file that cannot be written
// fails at once: with the disk-full or not-allowed sentence for its folder, otherwise with
// writeError, or without one "cannot write to FOLDER".
bool fetchObjectFile(Servers& servers, const Entry& entry, const std::filesystem::path& file,
                     const std::function<void(std::uint64_t received)>& progress,
                     const std::atomic<bool>* cancel, std::string& error,
                     const std::string& writeError = {});

// A staged object counts only when it is whole and right: staging is also where an interrupted
// install resumes from.
bool isStaged(const std::filesystem::path& object, const Entry& entry);

}  // namespace kd::launcher
