// Update packages and DSP firmware recovery. Every step runs a tool and looks
// only at its exit status; the tools get their paths as single arguments,
// with options the module's BusyBox and the desk's GNU tools both take.
#include "update/update.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "camera/dsp_files.h"
#include "core/atomicfile.h"
#include "core/config.h"
#include "core/log.h"
#include "core/rootpath.h"
#include "core/unique_fd.h"
#include "update/archive_listing.h"
#include "update/archive_members.h"
#include "update/manifest.h"
#include "update/package_signature.h"
#include "update/run_tool.h"

namespace {

const char* const kCardXz = "/media/sdcard/update.tar.xz";
const char* const kCardGz = "/media/sdcard/update.tar.gz";
const char* const kWorkXz = "/usrdata/update.tar.xz";
const char* const kWorkGz = "/usrdata/update.tar.gz";
const char* const kBackupXz = "/home/root/backup.tar.xz";
const char* const kBackupGz = "/home/root/backup.tar.gz";
const char* const kInstallDir = "/usrdata/";
const char* const kCardDir = "/media/sdcard";
const char* const kPostScript = "/usrdata/post_update_script.sh";
// Present on the medium while module files are being unpacked: a start that
// finds it finishes the install from the package, which stays until then.
const char* const kUnpackMarker = "/usrdata/update.unpacking";
const char* const kManifest = "manifest.json";
const char* const kDspTarName = "dsp_update.tar.xz";
const char* const kDspZipName = "dsp_update.zip";
const char* const kDspTarPath = "/usrdata/dsp_update.tar.xz";
const char* const kDspZipPath = "/usrdata/dsp_update.zip";
// The lowest "rollback_index" a signed package may carry: raised after a
// signed install completed, never by an unsigned one (whose manifest anyone
// could write, and so lock out every later release).
const char* const kRollbackFloor = "/usrdata/update_rollback_floor";
const char* const kSigSuffix = ".sig";
// Packages are encrypted with a key derived (MD5) from this pass phrase.
const char* const kPassPhrase = "Kq7vTn2wXa9pLm4R";

// Old DSP firmware on the card; a file "FW" there keeps it.
const char* const kStaleDspFiles[] = {
    "/media/sdcard/DRAMPARA.txt", "/media/sdcard/ISP.BIN", "/media/sdcard/1628.BIN",
    "/media/sdcard/1628A.BIN",    "/media/sdcard/1628M.BIN",
};
const char* const kCardFwMarker = "/media/sdcard/FW";
const char* const kQuorvanFiles[] = {
    "/media/sdcard/QUORVANL.bin",
    "/media/sdcard/QUORVANM.bin",
    "/media/sdcard/VIGLMCU.bin",
};

UpdateDecision decision{};
bool expandedDspFiles = false;

std::string R(const char* path) { return rootPath(path); }
bool exists(const char* path) { return isRegularFile(R(path).c_str()); }
void removeFile(const char* path) { remove(R(path).c_str()); }
int syncDisks() { return runTool({"sync"}); }

// Puts one file's data on the medium (its name needs its folder flushed).
bool flushFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// The package, then the marker naming it, each whole on the medium before
// the first module file is unpacked.
bool markUnpacking(const std::string& package, const char* work) {
    if (!flushFile(package) || syncFolderOf(package.c_str()) != 1) return false;
    const std::string line = std::string(work) + "\n";
    return writeFileAtomic(R(kUnpackMarker).c_str(), line.data(), line.size(), 0644) == 1;
}

// A marker left with no package that could finish its install would force
// the next package in; returns whether there was one.
bool dropStaleMarker() {
    if (!exists(kUnpackMarker)) return false;
    logMessage("update", LOG_ERROR, "No package to finish the interrupted install");
    removeFile(kUnpackMarker);
    return true;
}

// The tars of the module and of the desk agree only on an uncompressed
// stream read from standard input, so every package is decompressed by its
// own tool (chosen by the file's first bytes) and piped into tar.
std::vector<std::string> decompressor(const std::string& file) {
    unsigned char magic[6] = {0};
    {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (read(fd, magic, sizeof magic) < 0) magic[0] = 0;
            close(fd);
        }
    }
    if (memcmp(magic, "\xfd" "7zXZ\0", 6) == 0) return {"xz", "-dc", file};
    if (magic[0] == 0x1f && magic[1] == 0x8b) return {"gzip", "-dc", file};
    return {"cat", file};
}

int runTar(const std::string& file, std::vector<std::string> args,
           const std::function<bool(const std::string&, bool)>& onLine = nullptr, size_t maxLine = 4096) {
    args.insert(args.begin(), "tar");
    return runToolPipe(decompressor(file), args, onLine, maxLine);
}

bool readAt(int fd, std::string& buf, uint64_t offset) {
    size_t got = 0;
    while (got < buf.size()) {
        ssize_t n = pread(fd, &buf[got], buf.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Reads a zip's central directory from the file itself.
int listZip(const std::string& file, ArchiveListingCheck& check) {
    Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return 1;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    std::string tail(static_cast<size_t>(std::min<uint64_t>(size, 22 + 65535)), '\0');
    ZipDirectory dir;
    if (!readAt(fd.get(), tail, size - tail.size()) || !findZipDirectory(tail, size, dir)) return 1;
    if (dir.size > 16 * 1024 * 1024) return 1;  // not a DSP firmware archive
    std::string directory(static_cast<size_t>(dir.size), '\0');
    if (!readAt(fd.get(), directory, dir.offset)) return 1;
    std::string error;
    const bool read = readZipDirectory(
        directory, dir.entries,
        [&](char kind, const std::string& name, const std::string& target) {
            return check.member(kind, name, target);
        },
        error);
    return read ? 0 : 1;
}

// Reads the members from the package's own headers (not from a listing,
// which one tar or another rewrites) and refuses those that would land
// outside the folder it is unpacked into. Returns 0 when the archive was
// read, with `unsafe` set to the first refused member.
int checkArchive(const std::string& file, bool zip, ArchiveListingCheck::Policy policy,
                 std::string& unsafe) {
    ArchiveListingCheck check(policy);
    int status;
    if (zip) {
        status = listZip(file, check);
    } else {
        TarMemberReader reader([&](char kind, const std::string& name, const std::string& target) {
            return check.member(kind, name, target);
        });
        status = runToolOutput(decompressor(file),
                               [&](const char* data, size_t n) { return reader.feed(data, n); });
        const bool whole = reader.finish();
        // Stopped at the end blocks or at a refusal: the tool's broken pipe is ours.
        if (status == 128 + SIGPIPE) status = 0;
        if (status == 0 && !whole) status = 2;
        if (!reader.error().empty())
            logMessage("update", LOG_ERROR, "Can't read %s: %s", file.c_str(), reader.error().c_str());
    }
    unsafe = check.unsafeMember();
    return check.safe() ? status : 0;
}

// Unpacks the DSP update file onto the card by its kind; 0 on success.
int unpackDspFiles(const char* path, int kind) {
    if (kind != DSP_RECOVERY_TARXZ && kind != DSP_RECOVERY_ZIP) {
        syncDisks();
        return -1;
    }
    const std::string file = R(path);
    std::string unsafe;
    int status = checkArchive(file, kind == DSP_RECOVERY_ZIP, ArchiveListingCheck::FilesOnly, unsafe);
    if (!unsafe.empty()) {
        logMessage("update", LOG_ERROR, "DSP update file has an unsafe member: %s", unsafe.c_str());
        return -1;
    }
    if (status != 0) return status;
    if (kind == DSP_RECOVERY_TARXZ)
        // -o: no owners or modes restored, which the FAT card refuses
        // (GNU tar would fail the whole unpacking; BusyBox takes it too).
        status = runTar(file, {"-C", R(kCardDir), "-o", "-xf", "-"});
    else
        status = runTool({"unzip", "-o", "-q", file, "-d", R(kCardDir)});
    syncDisks();
    return status;
}

// Plain tar, or decrypted beside it into "<package>.dec", whose path then
// goes to `opened`. The package itself stays as it was signed: an install
// cut by a power loss is finished from it, and its signature must still
// match then. 0 when the archive lists; otherwise the failing step's status.
int openPackage(const std::string& package, std::string& opened) {
    opened = package;
    int status = runTar(package, {"-tf", "-"});
    if (status == 0) return 0;

    const std::string decrypted = package + ".dec";
    status = runTool({"openssl", "enc", "-d", "-aes-256-cbc", "-in", package, "-out", decrypted,
                      "-md", "md5", "-pass", std::string("pass:") + kPassPhrase});
    if (status != 0) {
        remove(decrypted.c_str());
        return status;
    }
    opened = decrypted;
    logMessage("update", LOG_ERROR, "Update file decrypted successfully");
    return runTar(opened, {"-tf", "-"});
}

UpdateManifest readManifest(const std::string& package) {
    std::string first;
    bool got = false;
    runTar(
        package, {"-xOf", "-", kManifest},
        [&](const std::string& line, bool) {
            first = line;
            got = true;
            return false;  // only the first line counts
        },
        511);
    return parseManifest(got ? first.c_str() : "");
}

bool hasMember(const std::string& package, const char* name) {
    bool found = false;
    runTar(package, {"-tf", "-"}, [&](const std::string& line, bool) {
        found = line == name;
        return !found;
    });
    return found;
}

// True when the module files were unpacked.
// `package` is the file as it came (a resumed install starts from it),
// `opened` the archive read from it.
bool installModulePart(const std::string& package, const std::string& opened, const char* work,
                       const char* backup) {
    logMessage("update", LOG_INFO, "Update modem");
    if (decision.doBackup) runTool({"cp", opened, R(backup)});
    // Power may go while files are unpacked, and any of them may already be
    // on the medium (the new daemon among them, whose version would then
    // say "done"): the marker makes the next start unpack the package again.
    if (!markUnpacking(package, work))
        logMessage("update", LOG_ERROR, "Can't mark %s as being installed", work);
    const int unpacked = runTar(opened, {"-C", R(kInstallDir), "-xf", "-"});
    syncDisks();
    if (exists(kPostScript)) {
        const std::string script = R(kPostScript);
        if (runTool({"chmod", "+x", script}) == 0) runTool({script});
        remove(script.c_str());
        // What the script changed reaches the medium before the marker goes.
        syncDisks();
    }
    // Its removal reaches the medium with the check's last sync; a cut
    // before that unpacks the package once more.
    removeFile(kUnpackMarker);
    return unpacked == 0;
}

// True when the DSP files went onto the card.
bool deliverDspPart(const std::string& package, const UpdateManifest& manifest) {
    bool inPackage = true;
    if (hasMember(package, kDspTarName))
        setDspRecoveryPackage(kDspTarPath, DSP_RECOVERY_TARXZ);
    else if (hasMember(package, kDspZipName))
        setDspRecoveryPackage(kDspZipPath, DSP_RECOVERY_ZIP);
    else
        inPackage = false;

    const int kind = getDspRecoveryKind();
    const std::string path = getDspRecoveryPath();
    // The package's own DSP archive replaces one an earlier package left
    // (the module part, when it ran, unpacked it already): kept, the old
    // firmware would be delivered, and again after every sync, the DSP never
    // reaching the version this manifest names.
    const bool replace = inPackage && !decision.modemUpdateRequired;
    if (kind != DSP_RECOVERY_NONE && (replace || !exists(path.c_str()))) {
        const char* base = kind == DSP_RECOVERY_ZIP ? kDspZipName : kDspTarName;
        runTar(package, {"-C", R(kInstallDir), "-xf", "-", base});
        syncDisks();
    }
    if (path.empty() || !exists(path.c_str())) return false;

    logMessage("update", LOG_INFO, "Update dsp");
    bool delivered = false;
    if (unpackDspFiles(path.c_str(), kind) == 0) {
        expandedDspFiles = true;
        delivered = true;
        setRequestDspUpdate(1);
    } else {
        logMessage("checkUpdate", LOG_ERROR, "Problem while expanding DSP update files");
    }
    setDspWantedVersion(manifest.dsp.version);
    return delivered;
}

// The stored floor; 0 when none was ever stored.
long long rollbackFloor() {
    FILE* f = fopen(R(kRollbackFloor).c_str(), "rb");
    if (f == nullptr) return 0;
    char buf[32] = {0};
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    char* end = nullptr;
    errno = 0;
    const long long floor = strtoll(buf, &end, 10);
    if (n == 0 || end == buf || errno != 0 || floor < 0) {
        // Written whole or not at all; anything else was not written here.
        logMessage("update", LOG_ERROR, "Rollback floor unreadable, taken as 0");
        return 0;
    }
    return floor;
}

void raiseRollbackFloor(long long floor) {
    const std::string line = std::to_string(floor) + "\n";
    if (writeFileAtomic(R(kRollbackFloor).c_str(), line.data(), line.size(), 0644) == 1)
        logMessage("update", LOG_INFO, "Rollback floor raised to %lld", floor);
    else
        logMessage("update", LOG_ERROR, "Can't store the rollback floor %lld", floor);
}

// Card package (and its signature beside it) copied to the module's own
// storage, where the check and every later step read the same bytes.
// False when the package was refused for its size.
bool takeFromCard(const char* card, const char* work, bool enforcing) {
    struct stat st;
    if (enforcing && stat(R(card).c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > kMaxPackageBytes)
        return false;
    runTool({"cp", R(card), R(work)});
    const std::string cardSig = R(card) + kSigSuffix;
    const std::string workSig = R(work) + kSigSuffix;
    // One left from before must not sign this package.
    remove(workSig.c_str());
    if (isRegularFile(cardSig.c_str())) copySignatureFile(cardSig, workSig);
    return true;
}

void removeWithSignature(const char* path) {
    removeFile(path);
    remove((R(path) + kSigSuffix).c_str());
}

// Whether the package may be opened: signed by a key of the module, or,
// with no key there, let through with a warning.
bool originAccepted(const UpdateKeyring& keys, const std::string& package, const char* work) {
    for (const std::string& name : keys.broken)
        logMessage("update", LOG_ERROR, "Update key %s/%s does not load", kUpdateKeyFolder, name.c_str());
    if (!keys.enforcing()) {
        logMessage("update", LOG_WARNING, "Origin of %s not checked: no update keys on the module", work);
        return true;
    }
    std::string keyName;
    const SignatureResult r = verifyPackageSignature(keys, package, package + kSigSuffix, &keyName);
    if (r != SIGNATURE_OK) {
        logMessage("update", LOG_ERROR, "Update file refused (%s): %s", work, signatureResultText(r));
        return false;
    }
    logMessage("update", LOG_INFO, "Update file signed by %s", keyName.c_str());
    return true;
}

// Reads the manifest of an opened package and installs what it asks for.
// A signed package below the rollback floor installs nothing.
void installPackage(const std::string& package, const std::string& opened, const char* work, const char* backup,
                    bool interrupted, bool enforcing, const char* dspVersion, const char* moduleVersion) {
    decision.keepPackage = false;
    decision.modemUpdateRequired = false;
    decision.dspUpdateRequired = false;
    const UpdateManifest manifest = readManifest(opened);
    if (enforcing) {
        const long long floor = rollbackFloor();
        if (!manifest.rollbackValid || manifest.rollbackIndex < floor) {
            if (!manifest.rollbackValid)
                logMessage("update", LOG_ERROR, "Update file refused (%s): rollback_index is not a whole number",
                           work);
            else
                logMessage("update", LOG_ERROR, "Update file refused (%s): rollback_index %lld below the floor %lld",
                           work, manifest.rollbackIndex, floor);
            decision = UpdateDecision{};
            return;
        }
    }
    if (manifest.hasKeepUpdateFile) decision.keepPackage = manifest.keepUpdateFile != 0;
    if (manifest.hasDoBackup) decision.doBackup = manifest.doBackup != 0;
    if (updateRequired(manifest.dsp, dspVersion)) {
        decision.dspUpdateRequired = true;
        logMessage("update", LOG_INFO, "Update DSP is required (%s => %s)", dspVersion ? dspVersion : "",
                   manifest.dsp.version);
    }
    if (updateRequired(manifest.modem, moduleVersion)) {
        decision.modemUpdateRequired = true;
        logMessage("update", LOG_INFO, "Update modem is required (%s => %s)", moduleVersion ? moduleVersion : "",
                   manifest.modem.version);
    }
    if (interrupted && !decision.modemUpdateRequired) {
        decision.modemUpdateRequired = true;
        logMessage("update", LOG_INFO, "Finishing the interrupted install of %s", work);
    }
    bool complete = decision.modemUpdateRequired || decision.dspUpdateRequired;
    if (decision.modemUpdateRequired && !installModulePart(package, opened, work, backup)) complete = false;
    if (decision.dspUpdateRequired && !deliverDspPart(opened, manifest)) complete = false;
    // Only once everything the package brings is in place: a cut before
    // this point leaves the floor where it was, and the package (still
    // signed, at or above it) installs again.
    if (enforcing && complete && manifest.rollbackIndex > rollbackFloor()) raiseRollbackFloor(manifest.rollbackIndex);
}

}  // namespace

const UpdateDecision& updateDecision() { return decision; }
bool dspFilesExpanded() { return expandedDspFiles; }
void resetUpdateState() {
    decision = UpdateDecision{};
    expandedDspFiles = false;
}

void checkUpdate(const char* dspVersion, const char* moduleVersion) {
    setRequestDspUpdate(0);

    if (!exists(kCardFwMarker)) {
        for (const char* f : kStaleDspFiles)
            if (exists(f)) removeFile(f);
    }

    const UpdateKeyring keys = loadUpdateKeys(R(kUpdateKeyFolder));
    const char* card = exists(kCardXz) ? kCardXz : exists(kCardGz) ? kCardGz : nullptr;
    if (card != nullptr && !takeFromCard(card, card == kCardXz ? kWorkXz : kWorkGz, keys.enforcing())) {
        logMessage("update", LOG_ERROR, "Update file refused (%s): %s", card, signatureResultText(PACKAGE_TOO_LARGE));
        removeWithSignature(kCardXz);
        removeWithSignature(kCardGz);
        dropStaleMarker();
        syncDisks();
        return;
    }

    const char* work;
    const char* backup;
    if (exists(kWorkXz)) {
        work = kWorkXz;
        backup = kBackupXz;
        if (exists(kWorkGz)) removeWithSignature(kWorkGz);
    } else if (exists(kWorkGz)) {
        work = kWorkGz;
        backup = kBackupGz;
    } else {
        logMessage("update", LOG_INFO, "No update file found");
        if (dropStaleMarker()) syncFolderOf(R(kUnpackMarker).c_str());
        return;
    }
    const std::string package = R(work);
    const bool interrupted = exists(kUnpackMarker);

    std::string unsafe, opened;
    int status = 0;
    if (!originAccepted(keys, package, work)) {
        decision = UpdateDecision{};
    } else if ((status = openPackage(package, opened)) == 0 &&
               (status = checkArchive(opened, false, ArchiveListingCheck::LinksInside, unsafe)) == 0 &&
               unsafe.empty()) {
        installPackage(package, opened, work, backup, interrupted, keys.enforcing(), dspVersion, moduleVersion);
    } else {
        if (!unsafe.empty())
            logMessage("update", LOG_ERROR, "Update file has an unsafe member: %s", unsafe.c_str());
        else
            logMessage("update", LOG_ERROR, "Update file is corrupted (%d)", status);
        decision = UpdateDecision{};
    }

    if (!decision.keepPackage) {
        removeWithSignature(kCardXz);
        removeWithSignature(kCardGz);
    }
    // The package before its signature: a cut between the two leaves a
    // signature with nothing to sign, never a package that lost its own.
    remove((package + ".dec").c_str());
    removeFile(work);
    remove((package + kSigSuffix).c_str());
    if (exists(kQuorvanFiles[0])) {
        for (const char* f : kQuorvanFiles) removeFile(f);
    }
    // A package that could not be read cannot finish an earlier install.
    dropStaleMarker();
    syncDisks();
}

int locateDspUpdateFile() {
    if (exists(kDspTarPath)) {
        setDspRecoveryPackage(kDspTarPath, DSP_RECOVERY_TARXZ);
        return 0;
    }
    if (exists(kDspZipPath)) {
        setDspRecoveryPackage(kDspZipPath, DSP_RECOVERY_ZIP);
        return 0;
    }
    return 1;
}

int recoverDspFirmware() {
    if (expandedDspFiles) return 1;
    if (checkDspFWversion() == 1) {
        logMessage("update", LOG_INFO, "DSP FW version is as expected");
        return 0;
    }
    const std::string path = getDspRecoveryPath();
    if (!exists(path.c_str())) {
        logMessage("update", LOG_ERROR, "Can't find %s for DSP FW recovery", path.c_str());
        return -1;
    }
    logMessage("update", LOG_INFO, "Update dsp");
    if (unpackDspFiles(path.c_str(), getDspRecoveryKind()) == 0) return 1;
    logMessage("update", LOG_ERROR, "Error when unziping / untaring %s for DSP FW recovery", path.c_str());
    return -1;
}
