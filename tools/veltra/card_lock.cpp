#include "card_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "cards.h"
#include "errors.h"
#include "files.h"
#include "simulator.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

namespace {

#if defined(_WIN32)

std::string userFolder() {
    char local[MAX_PATH] = "";
    const DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", local, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "";
    const std::string folder = std::string(local) + "\\veltra";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

#else

// A folder of this user's alone: one that this user owns and no one else
// may write to, never a link another user could have planted.
bool ownFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::getuid() && (status.st_mode & 0022) == 0;
}

std::string userFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/' && ownFolder(std::string(runtime) + "/veltra"))
        return std::string(runtime) + "/veltra";
    const std::string fallback = "/tmp/veltra-" + std::to_string(::getuid());
    return ownFolder(fallback) ? fallback : "";
}

#endif

// Where the lock and the note of a card live: the simulated machine's state
// folder, none for a private simulated machine, else the user's own.
std::string lockFolder() {
    if (onSimulator())
        return machineFolder();
    const std::string folder = userFolder();
    if (folder.empty())
        throw Failure("no folder to keep the cards' locks in (set XDG_RUNTIME_DIR)");
    return folder;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

CardLock::CardLock(const Card& card, bool wait)
    : card_(card), folder_(lockFolder()), name_("veltra-card-" + hex(card.serial(), 8).substr(2)) {
    if (!folder_.empty())
        acquire(wait);
}

std::string CardLock::notePath() const {
    return folder_ + "/" + name_ + ".pending";
}

std::string CardLock::unfinishedUpdate() const {
    if (folder_.empty())
        return "";
    std::string note = readText(notePath());
    while (!note.empty() && (note.back() == '\n' || note.back() == '\r'))
        note.pop_back();
    return note;
}

void CardLock::noteUnfinishedUpdate(const std::string& recoveryFile) const {
    if (!folder_.empty())
        replaceFile(notePath(), recoveryFile.data(), recoveryFile.size());
}

void CardLock::clearUnfinishedUpdate() const {
    if (!folder_.empty())
        std::remove(notePath().c_str());
}

void CardLock::refuseUnfinishedUpdate(const std::string& selection) const {
    const std::string recovery = unfinishedUpdate();
    if (recovery.empty())
        return;
    if (!fileExists(recovery)) {
        clearUnfinishedUpdate();
        return;
    }
    throw Failure(
        format("an update of the flash of %s (serial %s) did not finish; "
               "`veltra flash recover -c %s %s` finishes it; nothing changed",
               card_.name().c_str(), serialText(card_.serial()).c_str(), selection.c_str(),
               recovery.c_str()));
}

namespace {

std::string busyMessage(const Card& card, const std::string& holder) {
    return format(
        "%s (serial %s) is being changed by %s: give --wait to wait for it; nothing "
        "changed",
        card.name().c_str(), serialText(card.serial()).c_str(), holder.c_str());
}

void sayWaiting(const Card& card, const std::string& holder) {
    std::fprintf(stderr, "veltra: waiting for %s, which is changing %s\n", holder.c_str(),
                 card.name().c_str());
    std::fflush(stderr);
}

}  // namespace

#if defined(_WIN32)

namespace {

// A name for the kernel objects of a card, unique to the simulated
// machine's folder when there is one.
std::string objectKey(const std::string& name, const std::string& folder) {
    if (!onSimulator())
        return name;
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char ch : folder)
        hash = (hash ^ static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(ch)))) *
               0x100000001B3ull;
    return name + "-" + hex(hash, 16).substr(2);
}

// The lock is every user's: its mutex has no access list, so that the
// process of another user (or an elevated one) opens the same mutex rather
// than being refused and making one of its own.
HANDLE createMutex(const std::string& key, std::string& prefix) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES everyone{sizeof everyone, &descriptor, FALSE};
    for (const char* namespacePrefix : {"Global\\", "Local\\"}) {
        prefix = namespacePrefix;
        HANDLE mutex = CreateMutexA(&everyone, FALSE, (prefix + key).c_str());
        if (mutex != nullptr || GetLastError() != ERROR_ACCESS_DENIED)
            return mutex;
    }
    return nullptr;
}

}  // namespace

void CardLock::acquire(bool wait) {
    std::string prefix;
    const std::string key = objectKey(name_, folder_);
    HANDLE mutex = createMutex(key, prefix);
    if (mutex == nullptr)
        throw Failure(format("cannot lock %s: system error %lu", card_.name().c_str(),
                             static_cast<unsigned long>(GetLastError())));
    lock_ = reinterpret_cast<intptr_t>(mutex);
    objects_ = key;
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        if (!wait) {
            CloseHandle(mutex);
            lock_ = -1;
            throw Failure(busyMessage(card_, describeHolder()));
        }
        sayWaiting(card_, describeHolder());
        waited = WaitForSingleObject(mutex, INFINITE);
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        lock_ = -1;
        throw Failure("cannot lock " + card_.name());
    }
    // Who holds it, for the message of the next one who tries (in this
    // session: making a named section in Global\ takes a privilege).
    HANDLE holder = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64,
                                       ("Local\\" + objects_ + "-holder").c_str());
    if (holder != nullptr) {
        if (void* view = MapViewOfFile(holder, FILE_MAP_WRITE, 0, 0, 64)) {
            const DWORD self = GetCurrentProcessId();
            std::memcpy(view, &self, sizeof self);
            UnmapViewOfFile(view);
        }
        holder_ = reinterpret_cast<intptr_t>(holder);
    }
}

std::string CardLock::describeHolder() const {
    DWORD process = 0;
    if (HANDLE holder =
            OpenFileMappingA(FILE_MAP_READ, FALSE, ("Local\\" + objects_ + "-holder").c_str())) {
        if (const void* view = MapViewOfFile(holder, FILE_MAP_READ, 0, 0, 64)) {
            std::memcpy(&process, view, sizeof process);
            UnmapViewOfFile(view);
        }
        CloseHandle(holder);
    }
    return process != 0 ? format("process %lu", static_cast<unsigned long>(process))
                        : std::string("another process");
}

CardLock::~CardLock() {
    if (holder_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(holder_));
    if (lock_ != -1) {
        ReleaseMutex(reinterpret_cast<HANDLE>(lock_));
        CloseHandle(reinterpret_cast<HANDLE>(lock_));
    }
}

#else

namespace {

// Waits for the lock; 0, or the error that ended the wait.
int waitForLock(int fd) {
    int result = 0;
    do
        result = ::flock(fd, LOCK_EX);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

}  // namespace

void CardLock::acquire(bool wait) {
    const std::string path = folder_ + "/" + name_ + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw Failure("cannot lock " + card_.name() + ": " + path + ": " + std::strerror(errno));
    int error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (error == EWOULDBLOCK && wait) {
        sayWaiting(card_, describeHolder());
        error = waitForLock(fd);
    }
    if (error != 0) {
        const std::string why = error == EWOULDBLOCK
                                    ? busyMessage(card_, describeHolder())
                                    : "cannot lock " + card_.name() + ": " + std::strerror(error);
        ::close(fd);
        throw Failure(why);
    }
    lock_ = fd;
    // The holder's process id, whole before anything after it goes.
    const std::string self = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd, self.data(), self.size(), 0) == static_cast<ssize_t>(self.size()) &&
        ::ftruncate(fd, static_cast<off_t>(self.size())) != 0)
        return;  // a longer id of an earlier holder stays behind the newline
}

std::string CardLock::describeHolder() const {
    const std::string text = readText(folder_ + "/" + name_ + ".lock");
    const long process = std::strtol(text.c_str(), nullptr, 10);
    return process > 0 ? format("process %ld", process) : std::string("another process");
}

CardLock::~CardLock() {
    if (lock_ != -1)
        ::close(static_cast<int>(lock_));  // ends the flock
}

#endif

}  // namespace tool
