#include "machine/store.h"

#include <ctime>

#include "platform/state_files.h"

namespace vsim::model {

namespace {

// The moment, as a file name may hold it: 20261209-143005.
std::string stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#if defined(_WIN32)
    localtime_s(&parts, &now);
#else
    localtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
    return text;
}

}  // namespace

std::unique_ptr<Store> Store::openShared(const Location& where, uint64_t size,
                                         const Contents& contents, std::string& error,
                                         bool& refused) {
    os::StateFolder folder;
    refused = false;
    if (!folder.open(where.root, where.folder, error) || !folder.lock(error)) {
        refused = folder.refused();
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store);
    store->shared_ = true;
    store->size_ = size;
    store->path_ = folder.pathOf(where.name);
    const os::File existing = folder.openFile(where.name, error);
    if (!error.empty()) {
        refused = folder.refused();
        return nullptr;
    }
    uint64_t existingSize = 0;
    bool damaged = false;
    if (existing != os::kNoFile) {
        if (!os::fileSize(existing, existingSize) || existingSize != size) {
            os::closeFile(existing);
            damaged = true;
        } else if (!store->mapFile(existing) || !contents.valid(store->data_)) {
            store->unmap();
            damaged = true;
        } else if (os::soleUser(store->object_)) {
            contents.alone(store->data_);
        }
    }
    if (store->data_ == nullptr) {
        // Whatever the file held is kept aside, not lost; a process that
        // still has it mapped keeps it until it ends.
        if (damaged) {
            const std::string aside = where.name + ".bad-" + stamp();
            for (int n = 1; n <= 100 && store->setAside_.empty(); ++n) {
                const std::string candidate = n == 1 ? aside : aside + "-" + std::to_string(n);
                if (folder.renameFile(where.name, candidate))
                    store->setAside_ = candidate;
            }
            if (store->setAside_.empty()) {
                error = os::systemError("cannot set aside the damaged state file", store->path_);
                return nullptr;
            }
        }
        const os::File fresh = folder.createFile(where.name, size);
        if (fresh == os::kNoFile || !store->mapFile(fresh)) {
            error = os::systemError("cannot make the state file", store->path_);
            store->unmap();
            folder.removeFile(where.name);
            return nullptr;
        }
        contents.initialize(store->data_);
        for (const std::string& name : folder.fileNames())
            if (name != where.name && where.stale(name))
                folder.removeUnused(name);
    }
    os::holdFile(store->object_);
    return store;
}

}  // namespace vsim::model
