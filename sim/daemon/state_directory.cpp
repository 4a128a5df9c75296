#include "state_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "certificates.h"

namespace dravenholt::sim {

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replaces the file whole: a temporary file with the given mode, flushed, then renamed.
void writeFile(const fs::path& path, const std::string& contents, mode_t mode) {
    fs::path temporary = path;
    temporary += ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("cannot write " + temporary.string());
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == contents.size() && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path.string());
    }
}

Credential readCredential(const fs::path& key, const fs::path& certificate) {
    return {readFile(key), readFile(certificate)};
}

// Creates the directory for its owner alone, or takes an existing one as it is, unless others
// may write to it: they could then replace the keys and the token state kept there. The mode of
// an existing directory is left alone (it may be a home directory).
void prepareDirectory(const fs::path& directory) {
    const std::string name = "the state directory " + directory.string();
    std::error_code ignored;  // a parent that cannot be made shows in the mkdir below
    fs::create_directories(directory.parent_path(), ignored);
    if (::mkdir(directory.c_str(), 0700) == 0) return;
    if (errno != EEXIST) throw std::runtime_error("cannot create " + name + ": " + std::strerror(errno));
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error(name + " is not a directory");
    if (st.st_uid != ::geteuid()) throw std::runtime_error(name + " belongs to another user; choose one of your own");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        throw std::runtime_error(name + " may be written by group or world: choose another one, or chmod go-w it");
}

// Absolute, without "." or ".." steps and without a trailing separator.
fs::path cleanPath(const fs::path& directory) {
    fs::path clean = fs::absolute(directory).lexically_normal();
    return clean.has_filename() ? clean : clean.parent_path();
}

}  // namespace

StateDirectory::StateDirectory(fs::path directory) : directory_(cleanPath(directory)) {
    prepareDirectory(directory_);
    fs::path lockFile = directory_ / "orvo-sim.lock";
    lock_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0) throw std::runtime_error("cannot open " + lockFile.string());
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock_);
        throw std::runtime_error("another orvo-sim is using " + directory_.string());
    }
}

StateDirectory::~StateDirectory() { ::close(lock_); }

ServerIdentity StateDirectory::prepare(const std::string& address) {
    const fs::path caKey = directory_ / "ca.key", serverKey = directory_ / "server.key",
                   serverCertificate = directory_ / "server.crt";
    Credential authority = readCredential(caKey, authorityFile());
    if (authority.keyPem.empty() || authority.certificatePem.empty()) {
        authority = makeAuthority("Orvo simulator CA");
        writeFile(caKey, authority.keyPem, 0600);
        writeFile(authorityFile(), authority.certificatePem, 0644);
        fs::remove(serverCertificate);
    }
    Credential server = readCredential(serverKey, serverCertificate);
    if (!certificateFits(server, authority.certificatePem, address)) {
        std::vector<std::string> names{address};
        if (address != "localhost") names.push_back("localhost");
        server = issueServerCertificate(authority, names);
        writeFile(serverKey, server.keyPem, 0600);
        writeFile(serverCertificate, server.certificatePem, 0644);
    }
    return {server.certificatePem, server.keyPem};
}

void StateDirectory::writeClientConfig(const std::string& address, uint16_t port) const {
    nlohmann::json config = nlohmann::json::object();
    std::string existing = readFile(configFile());
    if (!existing.empty()) {
        config = nlohmann::json::parse(existing, nullptr, false);
        if (!config.is_object())
            throw std::runtime_error(configFile().string() + " is not a JSON object; correct or remove it");
    }
    nlohmann::json& transport = config["transport"];
    if (!transport.is_object()) transport = nlohmann::json::object();
    transport["address"] = address;
    transport["port"] = port;
    transport["cacertbundle"] = authorityFile().string();
    writeFile(configFile(), config.dump(2) + "\n", 0644);
}

}  // namespace dravenholt::sim
