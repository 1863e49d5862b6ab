// Staged updates at start (StagedUpdate.h): checking a staged version again, the switch as a
// journal of renames that a later start finishes, and the rollback of a version that failed.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <set>
#include <vector>

#include "AppImage.h"
#include "CfgFile.h"
#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "StagedUpdate.h"
#include "UpdateFeed.h"
#include "WindowsSupport.h"

namespace {

// The one file a start looks at: "apply V" (staged by the application), "confirm V" (applied,
// waiting for the application to report a good start) or "rollback V" (being undone).
const wchar_t* const nextFileName = L"next";
// The renames of a switch, written before the first: "R path" replaced, "A path" added,
// "D path" removed (kept with the previous files). Its first line names the version.
const wchar_t* const journalFileName = L"switch";
const wchar_t* const previousDirName = L".previous";
const size_t maxSmallFile = 16u << 20;

[[noreturn]] void fail(const tstring& why) {
    THROW_ERROR(LauncherError(tstrings::toUtf8(why)));
}

std::string readFile(const tstring& path) {
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        THROW_LAST_ERROR(&CreateFileW, L"CreateFileW(" << path << L") failed");
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
        if (bytes.size() > maxSmallFile) {
            fail(path + L" is too large");
        }
    }
    return bytes;
}

void makeDirs(const tstring& dir) {
    if (dir.empty() || GetFileAttributesW(dir.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return;
    }
    makeDirs(FileUtils::dirname(dir));
    if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        THROW_LAST_ERROR(&CreateDirectoryW, L"CreateDirectoryW(" << dir << L") failed");
    }
}

// Whole or not at all: a scratch file renamed over the old one.
void writeFile(const tstring& path, const std::string& bytes) {
    const tstring scratch = path + L".tmp";
    {
        const UniqueFileHandle file(CreateFileW(scratch.c_str(), GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            THROW_LAST_ERROR(&WriteFile, L"WriteFile(" << scratch << L") failed");
        }
    }
    if (!MoveFileExW(scratch.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        THROW_LAST_ERROR(&MoveFileExW, L"MoveFileExW(" << scratch << L", " << path << L") failed");
    }
}

bool exists(const tstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A rename (a running exe can be renamed, not deleted); across volumes, a copy.
void moveFile(const tstring& from, const tstring& to) {
    makeDirs(FileUtils::dirname(to));
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
        THROW_LAST_ERROR(&MoveFileExW, L"MoveFileExW(" << from << L", " << to << L") failed");
    }
}

std::vector<unsigned char> base64(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<unsigned char> out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        const size_t value = alphabet.find(c);
        if (value == std::string::npos) {
            fail(L"app.update-key is not base64");
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<unsigned char>((bits >> count) & 0xff));
        }
    }
    return out;
}

// SHA-256 and ECDSA P-256 through CNG, loaded when there is something to check: the
// launcher's imports stay as they are.
class Crypto {
public:
    Crypto() : library(LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (!library) {
            THROW_LAST_ERROR(&LoadLibraryExW, L"LoadLibraryExW(bcrypt.dll) failed");
        }
        find(open, "BCryptOpenAlgorithmProvider");
        find(close, "BCryptCloseAlgorithmProvider");
        find(createHash, "BCryptCreateHash");
        find(hashData, "BCryptHashData");
        find(finishHash, "BCryptFinishHash");
        find(destroyHash, "BCryptDestroyHash");
        find(importKey, "BCryptImportKeyPair");
        find(destroyKey, "BCryptDestroyKey");
        find(verify, "BCryptVerifySignature");
    }

    std::string sha256OfFile(const tstring& path) const {
        const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                nullptr));
        if (!file) {
            THROW_LAST_ERROR(&CreateFileW, L"CreateFileW(" << path << L") failed");
        }
        return sha256([&file](std::vector<unsigned char>& buffer) {
            DWORD read = 0;
            if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                          nullptr)) {
                read = 0;
            }
            return static_cast<size_t>(read);
        });
    }

    // The signature (DER, as Java's SHA256withECDSA and openssl write it) of `data` by the
    // P-256 key `spki` (DER SubjectPublicKeyInfo).
    bool verifies(const std::vector<unsigned char>& spki, const std::string& signature,
                  const std::string& data) const {
        static const unsigned char prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86,
                                               0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a,
                                               0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03,
                                               0x42, 0x00, 0x04};
        if (spki.size() != sizeof(prefix) + 64 || !std::equal(prefix, prefix + sizeof(prefix),
                                                              spki.begin())) {
            fail(L"app.update-key is not an ECDSA P-256 public key");
        }
        unsigned char rs[64];
        if (!rawSignature(signature, rs)) {
            return false;
        }
        size_t offset = 0;
        const std::string hash = sha256([&data, &offset](std::vector<unsigned char>& buffer) {
            const size_t n = std::min(buffer.size(), data.size() - offset);
            std::copy(data.begin() + offset, data.begin() + offset + n, buffer.begin());
            offset += n;
            return n;
        }, true);
        std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
        BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
        std::copy(reinterpret_cast<unsigned char*>(&header),
                  reinterpret_cast<unsigned char*>(&header) + sizeof(header), blob.begin());
        std::copy(spki.end() - 64, spki.end(), blob.begin() + sizeof(header));
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        check(open(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0), L"ECDSA P-256");
        BCRYPT_KEY_HANDLE key = nullptr;
        const NTSTATUS imported = importKey(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                            blob.data(), static_cast<ULONG>(blob.size()), 0);
        const NTSTATUS verified =
            imported < 0 ? imported
                         : verify(key, nullptr,
                                  reinterpret_cast<PUCHAR>(const_cast<char*>(hash.data())),
                                  static_cast<ULONG>(hash.size()), rs, sizeof(rs), 0);
        if (key) {
            destroyKey(key);
        }
        close(algorithm, 0);
        check(imported, L"the public key");
        return verified >= 0;
    }

private:
    template <class F> void find(F& function, const char* name) {
        function = reinterpret_cast<F>(
            reinterpret_cast<void*>(GetProcAddress(library.get(), name)));
        if (!function) {
            THROW_LAST_ERROR(&GetProcAddress, L"GetProcAddress(bcrypt.dll, "
                                                  << tstrings::fromUtf8(name) << L") failed");
        }
    }

    static void check(NTSTATUS status, const tstring& what) {
        if (status < 0) {
            fail(L"CNG failed on " + what + L" (status " +
                 tstrings::fromUtf8(std::to_string(status)) + L")");
        }
    }

    // SEQUENCE { INTEGER r, INTEGER s } as the 64 bytes r || s CNG takes.
    static bool rawSignature(const std::string& der, unsigned char rs[64]) {
        size_t at = 0;
        const auto byte = [&der, &at]() -> int {
            return at < der.size() ? static_cast<unsigned char>(der[at++]) : -1;
        };
        if (byte() != 0x30 || byte() < 0) {
            return false;
        }
        for (int part = 0; part < 2; ++part) {
            if (byte() != 0x02) {
                return false;
            }
            int length = byte();
            if (length < 1 || at + static_cast<size_t>(length) > der.size()) {
                return false;
            }
            size_t start = at;
            at += static_cast<size_t>(length);
            while (length > 32 && der[start] == 0) {
                ++start;
                --length;
            }
            if (length > 32) {
                return false;
            }
            std::fill(rs + 32 * part, rs + 32 * part + 32, 0);
            std::copy(der.begin() + static_cast<std::ptrdiff_t>(start),
                      der.begin() + static_cast<std::ptrdiff_t>(at), rs + 32 * part + 32 - length);
        }
        return at == der.size();
    }

    template <class Read> std::string sha256(Read read, bool raw = false) const {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        check(open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0), L"SHA-256");
        BCRYPT_HASH_HANDLE hash = nullptr;
        NTSTATUS status = createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        std::vector<unsigned char> buffer(1 << 20);
        for (size_t n; status >= 0 && (n = read(buffer)) > 0;) {
            status = hashData(hash, buffer.data(), static_cast<ULONG>(n), 0);
        }
        unsigned char digest[32] = {};
        if (status >= 0) {
            status = finishHash(hash, digest, sizeof(digest), 0);
        }
        if (hash) {
            destroyHash(hash);
        }
        close(algorithm, 0);
        check(status, L"SHA-256");
        if (raw) {
            return std::string(reinterpret_cast<char*>(digest), sizeof(digest));
        }
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (const unsigned char b : digest) {
            hex.push_back(digits[b >> 4]);
            hex.push_back(digits[b & 15]);
        }
        return hex;
    }

    UniqueModule library;
    NTSTATUS(WINAPI* open)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG) = nullptr;
    NTSTATUS(WINAPI* close)(BCRYPT_ALG_HANDLE, ULONG) = nullptr;
    NTSTATUS(WINAPI* createHash)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                 ULONG, ULONG) = nullptr;
    NTSTATUS(WINAPI* hashData)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) = nullptr;
    NTSTATUS(WINAPI* finishHash)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) = nullptr;
    NTSTATUS(WINAPI* destroyHash)(BCRYPT_HASH_HANDLE) = nullptr;
    NTSTATUS(WINAPI* importKey)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, BCRYPT_KEY_HANDLE*,
                                PUCHAR, ULONG, ULONG) = nullptr;
    NTSTATUS(WINAPI* destroyKey)(BCRYPT_KEY_HANDLE) = nullptr;
    NTSTATUS(WINAPI* verify)(BCRYPT_KEY_HANDLE, VOID*, PUCHAR, ULONG, PUCHAR, ULONG,
                             ULONG) = nullptr;
};

tstring lower(const tstring& text) {
    return tstrings::toLower(text);
}

// Every file of the image, relative to its root, but the previous version's.
void listImage(const tstring& root, const tstring& relative, std::vector<tstring>& files) {
    WIN32_FIND_DATAW found;
    const tstring pattern = FileUtils::mkpath() << root << relative << L"*";
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const tstring name = found.cFileName;
        if (name == L"." || name == L".." || (relative.empty() && name == previousDirName)) {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            listImage(root, relative + name + L"\\", files);
        } else {
            files.push_back(relative + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

class Updater {
public:
    Updater(const AppImage& image, const tstring& updatesDir)
        : image(image), updatesDir(updatesDir),
          previousDir(FileUtils::mkpath() << image.rootDir() << previousDirName) {}

    void run(const tstring& next) {
        const size_t blank = next.find(L' ');
        const tstring what = next.substr(0, blank);
        const tstring version = blank == tstring::npos ? tstring() : next.substr(blank + 1);
        if (version.empty() || version.find_first_of(L"\\/:") != tstring::npos) {
            finish(L"an unreadable " + tstring(nextFileName) + L" file");
            return;
        }
        const tstring journal = FileUtils::mkpath() << updatesDir << version << journalFileName;
        if (what == L"apply") {
            if (exists(journal)) {
                LOG_TRACE(L"Finishing the interrupted switch to version " << version);
            } else if (!prepare(version, journal)) {
                return;
            }
            forward(journal);
            writeFile(nextPath(), tstrings::toUtf8(L"confirm " + version));
            LOG_TRACE(L"Version " << version << L" applied; the previous files are in "
                                  << previousDir);
        } else if (what == L"confirm" || what == L"rollback") {
            if (what == L"confirm" && currentVersion() != version) {
                finish(L"version " + version + L" is not the image's any more");
                return;
            }
            writeFile(nextPath(), tstrings::toUtf8(L"rollback " + version));
            LOG_TRACE(L"Version " << version
                                  << L" did not report a good start: going back to the previous");
            mixed = true;
            switchOver(journal, true);
            mixed = false;
            appendFailed(version);
            finish(L"version " + version + L" rolled back");
        } else {
            finish(L"an unreadable " + tstring(nextFileName) + L" file");
        }
    }

private:
    tstring nextPath() const { return FileUtils::mkpath() << updatesDir << nextFileName; }

    void finish(const tstring& why) {
        LOG_TRACE(L"Staged update: " << why);
        DeleteFileW(nextPath().c_str());
    }

    CfgFile imageCfg() const {
        return CfgFile::load(FileUtils::mkpath()
                             << image.appDir() << (image.launcherName() + L".cfg"));
    }

    tstring currentVersion() const {
        tstring version;
        imageCfg().findValue(PropertyName::version, version);
        return version;
    }

    // Checks the staged version again (its feed's signature with the image's key, the
    // product, a newer version, every file's hash) and writes the journal of its switch.
    bool prepare(const tstring& version, const tstring& journal) {
        const tstring dir = FileUtils::mkpath() << updatesDir << version;
        if (!exists(FileUtils::mkpath() << dir << L"complete")) {
            finish(L"version " + version + L" is not staged completely");
            return false;
        }
        const CfgFile cfg = imageCfg();
        tstring key;
        tstring current;
        if (!cfg.findValue(PropertyName::updateKey, key) ||
            !cfg.findValue(PropertyName::version, current)) {
            finish(L"the image has no app.update-key or app.version");
            return false;
        }
        const tstring feedPath = FileUtils::mkpath() << dir << L"feed.json";
        const std::string text = readFile(feedPath);
        const Crypto crypto;
        if (!crypto.verifies(base64(tstrings::toUtf8(key)),
                             readFile(feedPath + L".sig"), text)) {
            finish(L"the signature of " + feedPath + L" does not match the image's key");
            return false;
        }
        const UpdateFeed feed = UpdateFeed::parse(text, feedPath);
        if (feed.product != image.packageName() || feed.version != version ||
            compareVersions(feed.version, current) <= 0) {
            finish(L"version " + version + L" is not a newer version of " + image.packageName());
            return false;
        }
        std::string ops = tstrings::toUtf8(L"version " + version) + "\n";
        std::set<tstring> inFeed;
        for (const UpdateFeedFile& file : feed.files) {
            inFeed.insert(lower(file.path));
            const tstring staged = FileUtils::mkpath() << dir << L"files" << file.path;
            const tstring installed = FileUtils::mkpath() << image.rootDir() << file.path;
            const tstring source = exists(staged) ? staged : installed;
            if (crypto.sha256OfFile(source) != file.sha256) {
                finish(source + L" does not have the hash the feed of version " + version +
                       L" names");
                return false;
            }
            if (source == staged) {
                ops += (exists(installed) ? "R " : "A ") + tstrings::toUtf8(file.path) + "\n";
            }
        }
        std::vector<tstring> files;
        listImage(image.rootDir(), tstring(), files);
        for (const tstring& file : files) {
            if (!inFeed.count(lower(file))) {
                ops += "D " + tstrings::toUtf8(file) + "\n";
            }
        }
        // The previous version's files go; this one's take their place.
        removeTree(previousDir);
        writeFile(journal, ops);
        return true;
    }

    // The switch, or where a rename fails (a file in use), its undoing: the image is one
    // version either way, unless even the undoing fails (`mixed`): then a later start
    // finishes the journal.
    void forward(const tstring& journal) {
        mixed = true;
        try {
            switchOver(journal, false);
        } catch (...) {
            switchOver(journal, true);
            DeleteFileW(journal.c_str());
            mixed = false;
            throw;
        }
        mixed = false;
    }

    // The journal's renames, forward or back; each is done only where it is still to do, so
    // that a start after an interruption finishes the same work.
    void switchOver(const tstring& journal, bool back) {
        const std::string text = readFile(journal);
        const tstring version = FileUtils::basename(FileUtils::dirname(journal));
        const tstring staged = FileUtils::mkpath() << updatesDir << version << L"files";
        std::vector<std::pair<char, tstring>> ops;
        size_t start = text.find('\n') + 1;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            ops.emplace_back(text[start],
                             tstrings::fromUtf8(text.substr(start + 2, end - start - 2)));
            start = end + 1;
        }
        if (back) {
            std::reverse(ops.begin(), ops.end());
        }
        for (const auto& op : ops) {
            const tstring installed = FileUtils::mkpath() << image.rootDir() << op.second;
            const tstring previous = FileUtils::mkpath() << previousDir << op.second;
            const tstring incoming = FileUtils::mkpath() << staged << op.second;
            if (!back) {
                if (op.first != 'A' && exists(installed) && !exists(previous)) {
                    moveFile(installed, previous);
                }
                if (op.first != 'D' && exists(incoming)) {
                    moveFile(incoming, installed);
                }
            } else if (op.first == 'A') {
                DeleteFileW(installed.c_str());
            } else if (exists(previous)) {
                if (exists(installed)) {
                    // Renamed, not replaced: it may be the exe that runs now.
                    moveFile(installed, previous + L".rolled-back");
                }
                moveFile(previous, installed);
            }
        }
    }

    void appendFailed(const tstring& version) {
        const tstring failed = FileUtils::mkpath() << updatesDir << L"failed";
        std::string text = exists(failed) ? readFile(failed) : std::string();
        writeFile(failed, text + tstrings::toUtf8(version) + "\n");
    }

    static void removeTree(const tstring& dir) {
        std::vector<tstring> files;
        listImage(dir, tstring(), files);
        for (const tstring& file : files) {
            const tstring path = FileUtils::mkpath() << dir << file;
            if (!DeleteFileW(path.c_str())) {
                // An exe that still runs (a restart parent of the session before) can be
                // renamed, not deleted: its name moves aside, out of this switch's way, and a
                // later switch deletes it.
                const tstring aside = path + L"." +
                                      tstrings::fromUtf8(std::to_string(GetTickCount64())) +
                                      L".old";
                MoveFileExW(path.c_str(), aside.c_str(), 0);
            }
        }
    }

    const AppImage& image;
    const tstring updatesDir;
    const tstring previousDir;

public:
    // True while the image holds files of two versions.
    bool mixed = false;
};

} // namespace

namespace StagedUpdate {

bool applyAtStart(const AppImage& image, const CfgFile& cfg) {
    tstring key;
    if (image.packageName().empty() || !cfg.findValue(PropertyName::updateKey, key)) {
        return false;
    }
    // Where the application's update library stages a version.
    const tstring updatesDir = image.userDir(L"updates");
    if (updatesDir.empty()) {
        return false;
    }
    const tstring next = FileUtils::mkpath() << updatesDir << nextFileName;
    if (GetFileAttributesW(next.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    Updater updater(image, updatesDir);
    try {
        updater.run(tstrings::fromUtf8(readFile(next)));
    } catch (const std::exception& e) {
        if (updater.mixed) {
            // Never run a mix of two versions: the next start finishes the journal.
            THROW_ERROR(LauncherError(
                (tstrings::Builder() << L"The update of " << image.rootDir()
                                     << L" was interrupted and could not be finished now ("
                                     << tstrings::fromUtf8(e.what())
                                     << L"); start the application again")
                    .str()));
        }
        LOG_WARNING(L"Staged update not applied: " << tstrings::fromUtf8(e.what()));
    }
    return true;
}

} // namespace StagedUpdate
