#include "serve/Signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sodium.h>

namespace {

constexpr std::size_t kMaxKeyFile = 4096;

// Reads a small file; `st` is its status as opened.
bool ReadKeyFile(const std::string& path, std::string& bytes, struct stat& st, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 4096) {
        ::close(fd);
        error = path + ": not a key file (a small regular file)";
        return false;
    }
    bytes.resize(kMaxKeyFile);
    std::size_t done = 0;
    for (ssize_t n; done < bytes.size() &&
                    ((n = ::read(fd, bytes.data() + done, bytes.size() - done)) != 0);) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            error = path + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(done);
    return true;
}

// The key's bytes: the whole file when its length is one of `sizes`, or the hexadecimal text in
// it; empty otherwise. Hex is tried first: a raw key that happens to be all hex digits would
// need 32 such bytes in a row, one chance in 2^48.
std::vector<unsigned char> KeyBytes(const std::string& file,
                                    std::initializer_list<std::size_t> sizes) {
    std::size_t begin = 0, end = file.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(file[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(file[end - 1]))) --end;
    const std::string_view text(file.data() + begin, end - begin);
    for (const std::size_t size : sizes) {
        if (text.size() == 2 * size) {
            std::vector<unsigned char> key(size);
            std::size_t length = 0;
            const char* last = nullptr;
            if (sodium_hex2bin(key.data(), key.size(), text.data(), text.size(), nullptr, &length,
                               &last) == 0 &&
                length == size && last == text.data() + text.size()) {
                return key;
            }
        }
    }
    for (const std::size_t size : sizes) {
        if (file.size() == size) {
            return {file.begin(), file.end()};
        }
    }
    return {};
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::string out(2 * size + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, size);
    out.pop_back();
    return out;
}

// Creates `path` for writing, never over an existing file or through a link.
int CreateNew(const std::string& path, mode_t mode, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        error = path + (errno == EEXIST ? ": exists already; not replaced" : ": ") +
                (errno == EEXIST ? "" : std::strerror(errno));
        return -1;
    }
    if (::fchmod(fd, mode) != 0) {  // the umask may have taken bits the file needs
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return -1;
    }
    return fd;
}

bool WriteAndClose(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

}  // namespace

SigningKeys::SigningKeys() {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
}

SigningKeys::~SigningKeys() { sodium_memzero(secret_.data(), secret_.size()); }

std::string SigningKeys::IdOf(const std::array<unsigned char, 32>& key) {
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash(hash, sizeof hash, key.data(), key.size(), nullptr, 0);
    return Hex(hash, 8);
}

bool SigningKeys::LoadSecretKey(const std::string& path, std::string& error) {
    std::string file;
    struct stat st {};
    if (!ReadKeyFile(path, file, st, error)) {
        return false;
    }
    // Readable by its owner only; or also by the service's own group, not root's, which is how
    // a container orchestrator grants an unprivileged process its secrets (fsGroup).
    const mode_t mode = st.st_mode;
    const bool ownGroup = st.st_gid == ::getegid() && ::getegid() != 0;
    if ((mode & 027) != 0 || ((mode & 040) != 0 && !ownGroup)) {
        sodium_memzero(file.data(), file.size());
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
        error = path + ": the signing key may be read by others (mode " + octal +
                "); make it readable by its owner only (chmod 600)";
        return false;
    }
    std::vector<unsigned char> key = KeyBytes(file, {32, 64});
    const std::size_t fileSize = file.size();
    sodium_memzero(file.data(), file.size());
    if (key.empty()) {
        error = path + ": not an Ed25519 secret key (" + std::to_string(fileSize) +
                " bytes): expected a 32-byte seed or a 64-byte secret key, raw or in hex";
        return false;
    }
    PublicKey pub;
    if (crypto_sign_seed_keypair(pub.key.data(), secret_.data(), key.data()) != 0) {
        sodium_memzero(key.data(), key.size());
        error = path + ": the key cannot be used";
        return false;
    }
    // A 64-byte key carries its public half; a mismatch means a damaged or hand-made file.
    const bool consistent =
        key.size() == 32 || sodium_memcmp(key.data() + 32, pub.key.data(), 32) == 0;
    sodium_memzero(key.data(), key.size());
    if (!consistent) {
        sodium_memzero(secret_.data(), secret_.size());
        error = path + ": the secret key's second half is not its public key";
        return false;
    }
    pub.id = IdOf(pub.key);
    hasSecret_ = true;
    publicKeys_.insert(publicKeys_.begin(), pub);
    return true;
}

bool SigningKeys::AddVerifyKey(const std::string& path, std::string& error) {
    std::string file;
    struct stat st {};
    if (!ReadKeyFile(path, file, st, error)) {
        return false;
    }
    const std::vector<unsigned char> key = KeyBytes(file, {32});
    if (key.empty()) {
        error = path + ": not an Ed25519 public key (" + std::to_string(file.size()) +
                " bytes): expected 32 bytes, raw or in hex";
        return false;
    }
    PublicKey pub;
    std::copy(key.begin(), key.end(), pub.key.begin());
    pub.id = IdOf(pub.key);
    publicKeys_.push_back(pub);
    return true;
}

std::string SigningKeys::KeyId() const { return hasSecret_ ? publicKeys_.front().id : ""; }

std::string SigningKeys::Sign(std::string_view bytes) const {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size(), secret_.data());
    char base64[sodium_base64_ENCODED_LEN(crypto_sign_BYTES, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(base64, sizeof base64, signature, sizeof signature,
                      sodium_base64_VARIANT_ORIGINAL);
    return std::string("ed25519=") + base64 + "; keyid=" + KeyId();
}

std::string SigningKeys::Check(std::optional<std::string_view> header,
                               std::string_view bytes) const {
    if (publicKeys_.empty()) {
        return "unchecked";
    }
    if (!header) {
        return "absent";
    }
    std::string signatureText, keyId;
    bool malformed = false;
    std::string_view rest = *header;
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of(";,");
        std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.empty()) {
            continue;
        }
        const std::size_t eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? "" : item.substr(eq + 1);
        if (name == "ed25519" && signatureText.empty()) {
            signatureText = value;
        } else if (name == "keyid" && keyId.empty()) {
            keyId = value;
        } else {
            malformed = true;
        }
    }
    unsigned char signature[crypto_sign_BYTES];
    std::size_t length = 0;
    const char* last = nullptr;
    if (malformed || signatureText.empty() ||
        sodium_base642bin(signature, sizeof signature, signatureText.data(), signatureText.size(),
                          nullptr, &length, &last, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != sizeof signature || last != signatureText.data() + signatureText.size()) {
        return "invalid";
    }
    for (const PublicKey& key : publicKeys_) {
        if ((keyId.empty() || keyId == key.id) &&
            crypto_sign_verify_detached(signature,
                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                        bytes.size(), key.key.data()) == 0) {
            return "valid";
        }
    }
    return "invalid";
}

bool SigningKeys::Generate(const std::string& path, std::string& keyId, std::string& error) {
    if (sodium_init() < 0) {
        error = "libsodium cannot be initialised";
        return false;
    }
    const std::string publicPath = path + ".pub";
    struct stat st {};
    if (::lstat(publicPath.c_str(), &st) == 0) {
        error = publicPath + ": exists already; not replaced";
        return false;
    }
    unsigned char seed[crypto_sign_SEEDBYTES];
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    std::array<unsigned char, 32> pub{};
    randombytes_buf(seed, sizeof seed);
    crypto_sign_seed_keypair(pub.data(), secret, seed);
    sodium_memzero(secret, sizeof secret);
    std::string seedHex = Hex(seed, sizeof seed) + "\n";
    sodium_memzero(seed, sizeof seed);

    const int secretFd = CreateNew(path, 0600, error);
    if (secretFd < 0) {
        sodium_memzero(seedHex.data(), seedHex.size());
        return false;
    }
    const bool written = WriteAndClose(secretFd, seedHex);
    sodium_memzero(seedHex.data(), seedHex.size());
    if (!written) {
        error = path + ": cannot write: " + std::strerror(errno);
        ::unlink(path.c_str());
        return false;
    }
    const int publicFd = CreateNew(publicPath, 0644, error);
    if (publicFd < 0 || !WriteAndClose(publicFd, Hex(pub.data(), pub.size()) + "\n")) {
        if (publicFd >= 0) {
            error = publicPath + ": cannot write: " + std::strerror(errno);
            ::unlink(publicPath.c_str());
        }
        ::unlink(path.c_str());
        return false;
    }
    keyId = IdOf(pub);
    return true;
}
