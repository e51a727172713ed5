// The kernel objects of a simulated machine on Windows: named after the
// user (their SID), made for that user alone, and refused if another user
// made them first.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vsim::os {

// A SID of this process's token as text ("S-1-5-21-..."), or "": the user
// it runs as (TokenUser), or the owner it gives what it makes (TokenOwner;
// the Administrators group, for an administrator).
inline std::string tokenSid(TOKEN_INFORMATION_CLASS which) {
    std::string text;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return text;
    DWORD size = 0;
    GetTokenInformation(token, which, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    char* string = nullptr;
    if (size != 0 && GetTokenInformation(token, which, buffer.data(), size, &size)) {
        PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                      : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
        if (ConvertSidToStringSidA(sid, &string)) {
            text = string;
            LocalFree(string);
        }
    }
    CloseHandle(token);
    return text;
}

inline const std::string& userSid() {
    static const std::string sid = tokenSid(TokenUser);
    return sid;
}

// A name for kernel objects made from a path (which may not hold
// backslashes): the same path in any letter case gives the same name, and
// each user has names of their own.
inline std::string objectName(const char* kind, const std::string& path) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char ch : path) {
        const char lower = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 0x100000001B3ull;
    }
    char tail[48];
    std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(hash));
    return "Local\\veltra-sim-" + userSid() + "-" + kind + tail;
}

// The event by which the simulator tells vsim-run that it attached to the
// process `pid`.
inline std::string attachEventName(unsigned long pid) {
    return objectName("attached", std::to_string(pid));
}

// Security attributes that give an object to this user alone.
class UserOnly {
  public:
    UserOnly() {
        const std::string text = "O:" + userSid() + "D:P(A;;GA;;;" + userSid() + ")";
        if (!userSid().empty() && ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                      text.c_str(), SDDL_REVISION_1, &descriptor_, nullptr))
            attributes_.lpSecurityDescriptor = descriptor_;
    }
    ~UserOnly() {
        if (descriptor_ != nullptr)
            LocalFree(descriptor_);
    }
    UserOnly(const UserOnly&) = delete;
    UserOnly& operator=(const UserOnly&) = delete;
    SECURITY_ATTRIBUTES* get() { return &attributes_; }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Whether the object belongs to this user: its owner is the user, or the
// owner that the user's processes give what they make.
inline bool ownedByUser(HANDLE object) {
    static const std::string defaultOwner = tokenSid(TokenOwner);
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    char* string = nullptr;
    bool mine = false;
    if (owner != nullptr && ConvertSidToStringSidA(owner, &string)) {
        mine = userSid() == string || defaultOwner == string;
        LocalFree(string);
    }
    LocalFree(descriptor);
    return mine;
}

// A mutex or an event of this user, made or opened: null, and the reason as
// one line, if it cannot be made or another user made it first.
inline HANDLE userObject(bool mutex, const std::string& name, std::string& problem) {
    UserOnly security;
    HANDLE object = mutex ? CreateMutexA(security.get(), FALSE, name.c_str())
                          : CreateEventA(security.get(), FALSE, FALSE, name.c_str());
    if (object == nullptr) {
        problem = "cannot make " + name + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS && !ownedByUser(object)) {
        CloseHandle(object);
        problem = name + " belongs to another user: refused";
        return nullptr;
    }
    return object;
}

}  // namespace vsim::os
