#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Ed25519 signatures (libsodium) over the exact bytes the service returns, with a key that the
/// office keeps. A key file holds either a 32-byte seed or a 64-byte libsodium secret key
/// (seed followed by the public key), raw or in hexadecimal; a public key file holds 32 bytes,
/// raw or in hexadecimal. Surrounding white space in a hexadecimal file is ignored.
class SigningKeys {
public:
    SigningKeys();
    ~SigningKeys();
    SigningKeys(const SigningKeys&) = delete;
    SigningKeys& operator=(const SigningKeys&) = delete;

    /// Loads the secret key that signs, whose public key then also verifies. Refuses a file
    /// that others may read or write, that its group may write, or that its group may read
    /// unless that is the process's own group (and not root's), or that holds no key; false
    /// with the reason.
    bool LoadSecretKey(const std::string& path, std::string& error);
    /// Adds a public key that verifies (an older key while an office rotates); false with the
    /// reason when the file holds no key.
    bool AddVerifyKey(const std::string& path, std::string& error);

    bool CanSign() const { return hasSecret_; }
    bool CanVerify() const { return !publicKeys_.empty(); }

    /// The signing key's id: the first 8 bytes of the BLAKE2b hash of its public key, in hex.
    std::string KeyId() const;

    /// The value of a Vetrix-Signature header for `bytes`: "ed25519=<base64>; keyid=<hex>".
    /// Only when CanSign().
    std::string Sign(std::string_view bytes) const;

    /// "unchecked" without verification keys, "absent" without a header, "valid" when the
    /// header's signature is one of the keys' over exactly `bytes` (the key named by keyid,
    /// when the header names one), else "invalid" (a malformed header included).
    std::string Check(std::optional<std::string_view> header, std::string_view bytes) const;

    /// Writes a new random seed in hex to `path` (mode 0600) and its public key in hex to
    /// `path`.pub (mode 0644); never replaces an existing file. False with the reason;
    /// `keyId` names the new key.
    static bool Generate(const std::string& path, std::string& keyId, std::string& error);

private:
    struct PublicKey {
        std::array<unsigned char, 32> key{};
        std::string id;
    };
    static std::string IdOf(const std::array<unsigned char, 32>& key);

    std::array<unsigned char, 64> secret_{};
    bool hasSecret_ = false;
    std::vector<PublicKey> publicKeys_;  // the signing key's first, when there is one
};
