#include "vhid/device_model.h"

#include <algorithm>

#include "protocol/u2f_framing.h"

namespace dravenholt::vhid {
namespace {

using namespace dravenholt::u2f;

constexpr uint8_t kRequestReportId = 0x01;
constexpr uint32_t kForeignChannelBit = 0x40000000;

uint32_t readChannel(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

Bytes u2fFrame(uint32_t channel, uint8_t commandOrSequence) {
    Bytes frame(kFrameLength, 0);
    for (int i = 0; i < 4; ++i) frame[i] = (channel >> (24 - 8 * i)) & 0xFF;
    frame[kCommandAt] = commandOrSequence;
    return frame;
}

Bytes u2fInit(uint32_t channel, uint8_t command, const Bytes& payload, size_t announced) {
    Bytes frame = u2fFrame(channel, command);
    frame[kLengthAt] = (announced >> 8) & 0xFF;
    frame[kLengthAt + 1] = announced & 0xFF;
    std::copy_n(payload.begin(), std::min(payload.size(), kInitPayload), frame.begin() + kInitPayloadAt);
    return frame;
}

}  // namespace

DeviceModel::DeviceModel(const DeviceProfile& profile, HostResponder responder)
    : profile_(profile), responder_(std::make_shared<HostResponder>(std::move(responder))) {}

std::vector<Output> DeviceModel::onReport(uint32_t host, const Bytes& report) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        written_.push_back(report);
    }
    if (profile_.framing == Framing::U2f) {
        // A frame travels as report ID 0 and 64 bytes.
        if (report.size() != kFrameLength + 1 || report[0] != 0) return {};
        return onU2fFrame(host, Bytes(report.begin() + 1, report.end()));
    }
    if (report.size() != profile_.reportSize || report[0] != kRequestReportId) return {};
    return onNumberedReport(host, report);
}

bool DeviceModel::acceptsReportId(uint8_t reportId) const {
    return profile_.framing == Framing::U2f || !profile_.refusesForeignReports || reportId == kRequestReportId;
}

std::vector<Output> DeviceModel::onNumberedReport(uint32_t host, const Bytes& report) {
    size_t header = 0;
    if (report[1] == 0x00 && report.size() >= 5) {
        assembly_ = Assembly{};
        assembly_->expected = report[2] | size_t{report[3]} << 8 | size_t{report[4]} << 16;
        header = 5;
    } else if (report[1] == 0x01 && assembly_) {
        header = 2;
    } else {
        assembly_.reset();
        return {};
    }
    note(JournalEntry::Kind::RequestReport, host);
    size_t take = std::min(report.size() - header, assembly_->expected - assembly_->bytes.size());
    assembly_->bytes.insert(assembly_->bytes.end(), report.begin() + header, report.begin() + header + take);
    if (assembly_->bytes.size() < assembly_->expected) return {};
    Bytes request = std::move(assembly_->bytes);
    assembly_.reset();
    return complete(host, std::move(request), 0);
}

std::vector<Output> DeviceModel::onU2fFrame(uint32_t host, const Bytes& frame) {
    uint32_t channel = readChannel(frame.data());
    Faults current = faults();
    if (frame[kCommandAt] & kInitiationBit) {
        assembly_.reset();
        if (frame[kCommandAt] == kCommandInit && channel == kBroadcastChannel) return answerInit(frame, current);
        if (frame[kCommandAt] != kCommandMessage || channel == kBroadcastChannel) return {};
        assembly_ = Assembly{channel, size_t{frame[kLengthAt]} << 8 | frame[kLengthAt + 1], 0, {}};
        size_t take = std::min(assembly_->expected, kInitPayload);
        assembly_->bytes.assign(frame.begin() + kInitPayloadAt, frame.begin() + kInitPayloadAt + take);
    } else {
        if (!assembly_ || assembly_->channel != channel || assembly_->nextSequence != frame[kCommandAt]) {
            assembly_.reset();
            return {};
        }
        ++assembly_->nextSequence;
        size_t take = std::min(assembly_->expected - assembly_->bytes.size(), kContinuationPayload);
        assembly_->bytes.insert(assembly_->bytes.end(), frame.begin() + kContinuationPayloadAt, frame.begin() + kContinuationPayloadAt + take);
    }
    note(JournalEntry::Kind::RequestReport, host);
    if (assembly_->bytes.size() < assembly_->expected) return {};
    channel = assembly_->channel;
    Bytes request = std::move(assembly_->bytes);
    assembly_.reset();
    return complete(host, std::move(request), channel);
}

std::vector<Output> DeviceModel::answerInit(const Bytes& frame, const Faults& faults) {
    if (faults.ignoreInit) return {};
    Bytes nonce(frame.begin() + kInitPayloadAt, frame.begin() + kInitPayloadAt + kNonceLength);
    uint32_t channel = nextChannel_++;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        channels_.push_back(channel);
    }
    auto answer = [&](uint32_t on, const Bytes& echoed) {
        Bytes payload = echoed;
        for (int i = 0; i < 4; ++i) payload.push_back((channel >> (24 - 8 * i)) & 0xFF);
        payload.insert(payload.end(), {2, 1, 0, 0, 0});  // protocol version, device version, capabilities
        return Output{{}, u2fInit(on, kCommandInit, payload, payload.size())};
    };
    std::vector<Output> out;
    for (unsigned i = 0; i < faults.wrongNonceAnswers; ++i) {
        Bytes wrong = nonce;
        wrong[i % wrong.size()] ^= 0x5A;
        out.push_back(answer(kBroadcastChannel, wrong));
    }
    if (faults.otherChannelFrames) out.push_back(answer(kBroadcastChannel ^ kForeignChannelBit, nonce));
    out.push_back(answer(kBroadcastChannel, nonce));
    return out;
}

std::vector<Output> DeviceModel::complete(uint32_t host, Bytes request, uint32_t channel) {
    std::shared_ptr<HostResponder> responder;
    Faults current;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        responder = responder_;
        current = faults_;
    }
    requestArrived_.notify_all();
    if (current.silent || !responder->answer) return {};
    Bytes reply = responder->answer(host, request);
    std::vector<Output> out = profile_.framing == Framing::U2f ? frameU2f(channel, reply, current)
                                                            : frameReports(reply, current);
    if (current.replyPieces && out.size() > *current.replyPieces) out.resize(*current.replyPieces);
    if (current.restartAfter && out.size() > *current.restartAfter) {
        std::vector<Output> started(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*current.restartAfter));
        out.insert(out.begin(), started.begin(), started.end());
    }
    for (auto& output : out) output.delay = current.replyDelay;
    // Replies without delay leave before the hub reads another report, so this is their place.
    note(JournalEntry::Kind::Reply, host);
    return out;
}

void DeviceModel::note(JournalEntry::Kind kind, uint32_t host) {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.push_back({kind, host});
}

std::vector<Output> DeviceModel::frameReports(const Bytes& reply, const Faults& faults) const {
    const size_t size = profile_.reportSize;
    std::vector<Output> out;
    size_t sent = 0;
    do {
        Bytes report(size, 0);
        report[0] = faults.replyReportId;
        size_t header = 2;
        if (sent == 0) {
            report[1] = faults.firstPacketType.value_or(0x00);
            report[2] = reply.size() & 0xFF;
            report[3] = (reply.size() >> 8) & 0xFF;
            report[4] = (reply.size() >> 16) & 0xFF;
            header = 5;
        } else {
            report[1] = 0x01;
        }
        size_t take = std::min(reply.size() - sent, size - header);
        std::copy_n(reply.begin() + sent, take, report.begin() + header);
        sent += take;
        out.push_back({{}, std::move(report)});
    } while (sent < reply.size());
    return out;
}

std::vector<Output> DeviceModel::frameU2f(uint32_t channel, const Bytes& reply, const Faults& faults) const {
    std::vector<Output> out;
    auto foreign = [&] {
        if (faults.otherChannelFrames) out.push_back({{}, u2fFrame(channel ^ kForeignChannelBit, 0x00)});
    };
    foreign();
    if (faults.errorReply) {
        out.push_back({{}, u2fInit(channel, kCommandError, Bytes{*faults.errorReply}, 1)});
        return out;
    }
    out.push_back({{}, u2fInit(channel, kCommandMessage, reply, reply.size())});
    size_t sent = std::min(reply.size(), kInitPayload);
    for (uint8_t sequence = 0; sent < reply.size(); ++sequence) {
        if (faults.skipSequence && sequence == 1) ++sequence;
        foreign();
        Bytes frame = u2fFrame(channel, sequence);
        size_t take = std::min(reply.size() - sent, kContinuationPayload);
        std::copy_n(reply.begin() + sent, take, frame.begin() + kContinuationPayloadAt);
        sent += take;
        out.push_back({{}, std::move(frame)});
    }
    return out;
}

void DeviceModel::onHostClosed(uint32_t host) {
    std::shared_ptr<HostResponder> responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        responder = responder_;
    }
    if (responder->closed) responder->closed(host);
}

void DeviceModel::setResponder(HostResponder responder) {
    auto replacement = std::make_shared<HostResponder>(std::move(responder));
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(replacement);
}

void DeviceModel::setFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

Faults DeviceModel::faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

std::vector<Bytes> DeviceModel::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<Bytes> DeviceModel::writtenReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

bool DeviceModel::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return requestArrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::vector<uint32_t> DeviceModel::allocatedChannels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return channels_;
}

std::vector<JournalEntry> DeviceModel::journal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return journal_;
}

void DeviceModel::clearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_ = {};
    written_ = {};
    channels_ = {};
    journal_ = {};
}

}  // namespace dravenholt::vhid
