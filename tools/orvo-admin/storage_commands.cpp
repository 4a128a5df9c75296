// backup, restore and factory-reset.
#include "base/pkcs11.h"
#include "orvo-admin/commands.h"
#include "orvo-admin/files.h"
#include "orvo-admin/progress.h"
#include "orvo-admin/token.h"
#include "orvo/admin.h"

namespace orvoadmin {
namespace {

constexpr uint64_t kFirstCapacity = 1u << 20;
constexpr uint64_t kLargestImage = 16u << 20;

// The token's storage image; the SO (of an initialised token) must be logged in. The buffer
// grows while the token says the image needs more room.
Bytes backupImage(const Invocation& inv, const char* label) {
    for (uint64_t capacity = kFirstCapacity;; capacity *= 2) {
        Bytes image(capacity);
        uint64_t length = capacity;
        uint32_t rv;
        {
            ProgressBar bar(inv, label);
            rv = u32BackupStorage(inv.slot, image.data(), &length);
        }
        if (rv == CKR_BUFFER_TOO_SMALL && capacity < kLargestImage) continue;
        check(rv, "the backup failed");
        image.resize(length);
        return image;
    }
}

std::string slotText(const Invocation& inv) { return "slot " + std::to_string(inv.slot); }

}  // namespace

int backupCommand(Invocation& inv) {
    const std::string& path = inv.words.at(0);
    Library library;
    Token token(inv);
    Session officer(inv, token, Session::User::Officer, true);
    Bytes image = backupImage(inv, "backup");
    writePrivateFile(path, image);
    emit(inv, {{"slot", inv.slot}, {"file", path}, {"bytes", image.size()}},
         "backed up " + std::to_string(image.size()) + " bytes of " + slotText(inv) + " to " + path);
    return kSuccess;
}

int restoreCommand(Invocation& inv) {
    const std::string& path = inv.words.at(0);
    Bytes image = readFile(path, kLargestImage);
    if (image.empty()) throw Failure(path + " is empty");
    Library library;
    Token token(inv);
    {
        Session officer(inv, token, Session::User::Officer, true);
        ProgressBar bar(inv, "restore");
        uint32_t rv = u32RestoreStorage(inv.slot, image.data(), image.size());
        if (rv == CKR_DATA_INVALID)
            throw Failure("the token refused " + path + " (damaged, or no storage image); the token is unchanged");
        check(rv, "the restore failed");
    }
    // The restore ended every session. The token now backs up to the same image, or it did not
    // take what it was given.
    if (inv.verify) {
        Session officer(inv, token, Session::User::Officer, true);
        if (backupImage(inv, "verify") != image)
            throw Failure("after the restore " + slotText(inv) + " does not reproduce " + path);
    }
    emit(inv, {{"slot", inv.slot}, {"file", path}, {"bytes", image.size()}, {"verified", inv.verify}},
         "restored " + std::to_string(image.size()) + " bytes from " + path + " to " + slotText(inv) +
             (inv.verify ? "; the token reproduces the image" : ""));
    return kSuccess;
}

int factoryResetCommand(Invocation& inv) {
    if (!inv.eraseConfirmed)
        throw Failure("factory-reset erases every object, PIN and setting of the token in " + slotText(inv) +
                          "; to go ahead, repeat it with --yes-erase-everything",
                      kUsage);
    Library library;
    Token token(inv);
    check(u32FactoryReset(inv.slot), "the factory reset failed");
    emit(inv, {{"slot", inv.slot}, {"reset", true}}, slotText(inv) + " is reset to a blank token");
    return kSuccess;
}

}  // namespace orvoadmin
