#include "fake_loader.h"

#include <algorithm>
#include <cmath>

#include "bsl/bsl_protocol.h"
#include "bsl/loader_link.h"

namespace k210::test {

using bsl::Bytes;

namespace {

template <typename T>
T next(std::deque<T>& queue, T otherwise) {
    if (queue.empty()) return otherwise;
    const T first = queue.front();
    queue.pop_front();
    return first;
}

}  // namespace

void FakeLoader::host_writes(const std::uint8_t* bytes, std::size_t count, unsigned host_baud) {
    sent.emplace_back(now_ms, Bytes(bytes, bytes + count));
    if (now_ms < quiet_until_ms_) broken.push_back(rule_ + " at " + std::to_string(now_ms) + " ms");
    if (host_baud != baud_) broken.emplace_back("sent at the wrong speed");
    for (std::size_t i = 0; i < count; ++i) take(bytes[i], now_ms + static_cast<double>(i + 1) * byte_ms());
}

ReplyByte FakeLoader::take_reply_byte() {
    const ReplyByte first = replies_.front();
    replies_.pop_front();
    return first;
}

void FakeLoader::drop_arrived() {
    while (reply_arrived()) replies_.pop_front();
}

void FakeLoader::sleep_until(PortClock::time_point when) {
    now_ms = std::max(now_ms, std::chrono::duration<double, std::milli>(when.time_since_epoch()).count());
}

std::size_t FakeLoader::frames_of(std::uint8_t command) const {
    std::size_t n = 0;
    for (const auto& s : sent)
        if (s.second.size() > 1 && s.second[1] == command) ++n;
    return n;
}

// The reply leaves `work_ms` after the frame's last byte came in, each byte at the line's pace.
void FakeLoader::answer(const Bytes& bytes, double came_ms, double work_ms, Fault fault) {
    if (fault == Fault::silent) {  // it works on, through the host's whole wait and as long again
        quiet_until_ms_ = came_ms + 2 * bsl::WRITE_BUSY_MS;
        rule_ = "sent again while the loader may still be at work";
        return;
    }
    double at = came_ms + work_ms + delay_ms + (fault == Fault::late ? 1.5 * bsl::WRITE_BUSY_MS : 0);
    hung_up_ = hung_up_ || fault == Fault::hang_up;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        at += byte_ms();
        const double host_at = tick_ms > 0 ? (std::floor(at / tick_ms) + 1) * tick_ms : at;
        replies_.push_back({host_at, bytes[i], fault == Fault::parity_error && i == 0});
    }
    quiet_until_ms_ = at + 1.2;
    rule_ = "no turnaround after the loader's reply";
}

void FakeLoader::take(std::uint8_t byte, double came_ms) {
    if (frame_.empty() && !synced_) {
        if (byte != bsl::BSL_SYNC) return;
        const Fault fault = next(faults, Fault::none);
        synced_ = fault == Fault::none;
        answer({fault == Fault::nak ? bsl::BSL_NAK : bsl::BSL_ACK}, came_ms, 0, fault);
        return;
    }
    frame_.push_back(byte);
    if (frame_.size() < 4 || frame_.size() < 6u + frame_[2]) return;
    synced_ = false;
    handle_frame(came_ms, next(faults, Fault::none));
    frame_.clear();
}

void FakeLoader::handle_frame(double came_ms, Fault fault) {
    const std::ptrdiff_t address = frame_[4] | frame_[5] << 8;
    const std::ptrdiff_t length = frame_[6];
    const std::uint8_t command = frame_[1];
    Bytes reply = {fault == Fault::nak ? bsl::BSL_NAK : fault == Fault::bad_byte ? std::uint8_t{0x55} : bsl::BSL_ACK};
    const double work_ms = command == bsl::BSL_MASS_ERASE ? next(erase_ms, 20.0) : 0.5;
    if (command == bsl::BSL_MASS_ERASE) erased_ms += work_ms;
    if (command == bsl::BSL_RX_DATA_BLOCK && reply[0] == bsl::BSL_ACK) {
        std::copy(frame_.begin() + 8, frame_.end() - 2, memory.begin() + address);
        if (bad_cell >= address && bad_cell < address + length) memory[static_cast<std::size_t>(bad_cell)] ^= 0x10;
    }
    if (command == bsl::BSL_TX_DATA_BLOCK && reply[0] == bsl::BSL_ACK) {
        reply = {bsl::BSL_HEADER, 0x00, frame_[6], frame_[6]};  // 80 xx n n data CKL CKH
        reply.insert(reply.end(), memory.begin() + address, memory.begin() + address + length);
        std::uint8_t low = 0;
        std::uint8_t high = 0;
        bsl::bsl_checksum(reply.data(), reply.size(), low, high);
        reply.insert(reply.end(), {low, static_cast<std::uint8_t>(fault == Fault::damaged_block ? ~high : high)});
    }
    answer(reply, came_ms, work_ms + next(late_ms, 0.0), fault);
    if (command == bsl::BSL_CHANGE_BAUD && reply[0] == bsl::BSL_ACK && fault == Fault::none) {
        baud_ = 38400;
        quiet_until_ms_ += 10 - 1.2;
        rule_ = "sent before the loader's clock had settled";
    }
}

}  // namespace k210::test
