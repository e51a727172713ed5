#include "machine/store.h"

#include "platform/state_files.h"

namespace vsim::model {

std::unique_ptr<Store> Store::openShared(const std::string& folder, const std::string& name,
                                         const std::string& stalePrefix, uint64_t size,
                                         const Contents& contents, std::string& error) {
    if (!os::makeFolders(folder)) {
        error = os::systemError("cannot make the state folder", folder);
        return nullptr;
    }
    os::OpeningLock opening;
    if (!opening.take(folder, error))
        return nullptr;
    std::unique_ptr<Store> store(new Store);
    store->shared_ = true;
    store->size_ = size;
    store->path_ = folder + os::kSeparator + name;
    const std::string& path = store->path_;
    const os::File existing = os::openFile(path);
    uint64_t existingSize = 0;
    if (existing != os::kNoFile && os::fileSize(existing, existingSize) && existingSize == size) {
        if (store->mapFile(existing) && !contents.valid(store->data_))
            store->unmap();
        else if (store->data_ != nullptr && os::soleUser(store->object_))
            contents.alone(store->data_);
    } else if (existing != os::kNoFile) {
        os::closeFile(existing);
    }
    if (store->data_ == nullptr) {
        // A process that still has the old file mapped keeps it until it ends.
        store->unmap();
        os::removeFile(path);
        const os::File fresh = os::createFile(path, size);
        if (fresh == os::kNoFile || !store->mapFile(fresh)) {
            error = os::systemError("cannot make the state file", path);
            store->unmap();
            os::removeFile(path);
            return nullptr;
        }
        contents.initialize(store->data_);
        os::removeStale(folder, stalePrefix, name);
    }
    os::holdFile(store->object_);
    return store;
}

}  // namespace vsim::model
