#include "state_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <openssl/evp.h>

namespace dravenholt::sim {
namespace {

constexpr char kMagic[8] = {'O', 'R', 'V', 'O', 'S', 'I', 'M', '1'};
constexpr uint32_t kVersion = 1;
constexpr size_t kDigest = 32;

class Writer {
public:
    void u32(uint32_t v) { append(le32(v)); }
    void bytes(const Bytes& b) {
        u32(uint32_t(b.size()));
        append(b);
    }
    void text(const std::string& s) { bytes(toBytes(s)); }
    void append(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
    Bytes out;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool u32(uint32_t& v) {
        if (end_ - p_ < 4) return false;
        v = readLe32(p_);
        p_ += 4;
        return true;
    }
    bool bytes(Bytes& b) {
        uint32_t n;
        if (!u32(n) || size_t(end_ - p_) < n) return false;
        b.assign(p_, p_ + n);
        p_ += n;
        return true;
    }
    bool text(std::string& s) {
        Bytes b;
        if (!bytes(b)) return false;
        s.assign(b.begin(), b.end());
        return true;
    }
    bool flag(bool& f) {
        uint32_t v;
        if (!u32(v) || v > 1) return false;
        f = v == 1;
        return true;
    }
    bool done() const { return p_ == end_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

void writePin(Writer& w, const PinRecord& pin) {
    w.u32(pin.set);
    w.bytes(pin.salt);
    w.bytes(pin.hash);
    w.u32(pin.failures);
}

bool readPin(Reader& r, PinRecord& pin) {
    return r.flag(pin.set) && r.bytes(pin.salt) && r.bytes(pin.hash) && r.u32(pin.failures);
}

void writeConfig(Writer& w, const TokenConfig& c) {
    for (uint32_t v : {c.maxLoginFailures, c.minPinLen, c.maxPinLen, c.sessionTimeout, c.bitOptions})
        w.u32(v);
}

bool readConfig(Reader& r, TokenConfig& c) {
    return r.u32(c.maxLoginFailures) && r.u32(c.minPinLen) && r.u32(c.maxPinLen) &&
           r.u32(c.sessionTimeout) && r.u32(c.bitOptions);
}

Bytes digestOf(const uint8_t* data, size_t size) {
    Bytes d(kDigest);
    EVP_Digest(data, size, d.data(), nullptr, EVP_sha256(), nullptr);
    return d;
}

// RAII file descriptor.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const Bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

Bytes serializeState(const TokenRecord& token, const std::vector<const Object*>& objects) {
    Writer body;
    body.u32(token.initialized);
    body.text(token.label);
    writePin(body, token.so);
    writePin(body, token.user);
    writeConfig(body, token.config);
    body.u32(uint32_t(objects.size()));
    for (const Object* o : objects) {
        body.u32(uint32_t(o->attributes().size()));
        for (const auto& [type, value] : o->attributes()) {
            body.u32(type);
            body.bytes(value);
        }
    }
    Writer image;
    image.append(Bytes(std::begin(kMagic), std::end(kMagic)));
    image.u32(kVersion);
    image.bytes(body.out);
    image.append(digestOf(image.out.data(), image.out.size()));
    return image.out;
}

bool parseState(const Bytes& image, PersistentState& out, std::string& error) {
    if (image.size() < sizeof kMagic + 8 + kDigest ||
        std::memcmp(image.data(), kMagic, sizeof kMagic) != 0) {
        error = "not a device state file";
        return false;
    }
    size_t covered = image.size() - kDigest;
    if (digestOf(image.data(), covered) != Bytes(image.begin() + covered, image.end())) {
        error = "checksum mismatch (the file is damaged)";
        return false;
    }
    Reader outer(image.data() + sizeof kMagic, covered - sizeof kMagic);
    uint32_t version;
    Bytes body;
    if (!outer.u32(version) || version != kVersion) {
        error = "unsupported state file version";
        return false;
    }
    if (!outer.bytes(body) || !outer.done()) {
        error = "malformed state file";
        return false;
    }
    Reader r(body.data(), body.size());
    PersistentState state;
    uint32_t count = 0;
    bool ok = r.flag(state.token.initialized) && r.text(state.token.label) &&
              readPin(r, state.token.so) && readPin(r, state.token.user) &&
              readConfig(r, state.token.config) && r.u32(count);
    for (uint32_t i = 0; ok && i < count; ++i) {
        uint32_t attrs = 0;
        Object o;
        ok = r.u32(attrs);
        for (uint32_t j = 0; ok && j < attrs; ++j) {
            uint32_t type;
            Bytes value;
            ok = r.u32(type) && r.bytes(value);
            if (ok) o.set(type, std::move(value));
        }
        if (ok) state.objects.push_back(std::move(o));
    }
    if (!ok || !r.done()) {
        error = "malformed state file";
        return false;
    }
    out = std::move(state);
    return true;
}

bool StateFile::load(PersistentState& out) const {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) return false;
    std::ifstream in(path_, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read device state file " + path_.string());
    Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read device state file " + path_.string());
    std::string error;
    if (!parseState(image, out, error))
        throw std::runtime_error("refusing device state file " + path_.string() + ": " + error);
    return true;
}

bool StateFile::save(const Bytes& image, std::string& error) const {
    std::filesystem::path temp = path_;
    temp += ".tmp";
    {
        Fd file;
        file.fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file.fd < 0 || !writeAll(file.fd, image) || ::fsync(file.fd) != 0) {
            error = std::string("cannot write ") + temp.string() + ": " + std::strerror(errno);
            ::unlink(temp.c_str());
            return false;
        }
    }
    if (::rename(temp.c_str(), path_.c_str()) != 0) {
        error = std::string("cannot replace ") + path_.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    std::filesystem::path dir = path_.has_parent_path() ? path_.parent_path() : ".";
    Fd d;
    d.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.fd >= 0) ::fsync(d.fd);
    return true;
}

}  // namespace dravenholt::sim
