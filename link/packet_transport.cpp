#include "link/packet_transport.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "link/byte_reader.h"
#include "link/cable_protocol.h"
#include "link/link_device.h"
#include "log/log_queue.h"

using namespace tavrin;

namespace {
std::atomic<long> bodiesHeld{0};
}

uint8_t* AllocPacketBody(size_t size) {
  auto* block = static_cast<uint8_t*>(std::calloc(size, 1));
  if (block) bodiesHeld++;
  return block;
}

void FreePacketBody(uint8_t* body) {
  if (!body) return;
  bodiesHeld--;
  std::free(body);
}

long PacketBodiesHeld() { return bodiesHeld.load(); }

void PacketTransport::LogFailure(const char* text) { AppendLogText(page_, text, LogError); }

// Reads the LinkStatus back to back until the condition holds. The
// condition is tested before the peer bit, so a status that already shows
// what we wait for counts even while the peer bit is clear.
template <typename Condition>
bool PacketTransport::WaitStatus(Condition condition) {
  BYTE status = 0;
  if (!link_->GetStatus(&status)) return false;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (condition(status)) return true;
    if (!(status & kStatusPeerExists)) return false;
    if (GetTickCount64() - start > kHandshakeTimeoutMs) return false;
    if (!link_->GetStatus(&status)) return false;
  }
}

bool PacketTransport::SendPacket(const PacketHeader& header, const void* body) {
  if (!WaitStatus([](BYTE s) { return (s & kStatusTransmitReady) != 0; })) return false;
  link_->SetFeature(kFeatureTransferRequest);
  if (SendRequested(header, body)) return true;
  // A failed send withdraws its request: a console slow to take it up would
  // otherwise leave it standing, and the next poll would take it for one of
  // the console's own (a failed receive and a link reset).
  link_->ClearFeature(kFeatureTransferRequest);
  return false;
}

// The packet, once the transfer request is up.
bool PacketTransport::SendRequested(const PacketHeader& header, const void* body) {
  uint8_t raw[kHeaderSize];
  EncodeHeader(header, raw);
  DWORD moved = 0;
  if (!link_->Write(raw, kHeaderSize, &moved) || moved != kHeaderSize) {
    LogFailure("Error sending packet header.\r\n");
    return false;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(body);
  for (uint32_t done = 0; done < header.bodySize;) {
    DWORD chunk = std::min(header.bodySize - done, kChunkSize);
    if (!bytes || !link_->Write(bytes + done, chunk, &moved) || moved != chunk) {
      LogFailure("Error sending packet body.\r\n");
      return false;
    }
    done += chunk;
  }

  if (!WaitStatus([](BYTE s) { return !(s & kStatusTransferRequest); })) return false;
  link_->SetFeature(kFeatureTransferComplete);
  return WaitStatus([](BYTE s) { return !(s & kStatusTransferComplete); });
}

bool PacketTransport::ReceivePacket(PacketHeader* header, uint8_t** body) {
  if (!WaitStatus([](BYTE s) { return (s & kStatusTransferRequest) != 0; })) return false;
  link_->ClearFeature(kFeatureTransferRequest);

  uint8_t raw[kHeaderSize];
  DWORD moved = 0;
  if (!link_->Read(raw, kHeaderSize, &moved) || moved != kHeaderSize) {
    LogFailure("Error getting packet header.\r\n");
    return false;
  }
  const PacketHeader received = DecodeHeader(raw);

  uint8_t* block = nullptr;
  if (received.bodySize != 0) {
    if (received.bodySize <= kMaxBodySize)
      block = AllocPacketBody(received.bodySize);
    if (!block) {
      LogFailure("Unable to allocate memory for packet body.\r\n");
      return false;
    }
    for (uint32_t done = 0; done < received.bodySize;) {
      DWORD chunk = std::min(received.bodySize - done, kChunkSize);
      if (!link_->Read(block + done, chunk, &moved) || moved != chunk) {
        LogFailure("Error recieving packet body.\r\n");
        FreePacketBody(block);
        return false;
      }
      done += chunk;
    }
  }

  if (!WaitStatus([](BYTE s) { return (s & kStatusTransferComplete) != 0; })) {
    FreePacketBody(block);
    return false;
  }
  link_->ClearFeature(kFeatureTransferComplete);
  *header = received;
  if (block) *body = block;
  return true;
}

bool PacketTransport::SendReply(int32_t result, const void* data, int32_t length) {
  const uint32_t dataSize = length > 0 ? static_cast<uint32_t>(length) : 0;
  uint8_t* block = AllocPacketBody(size_t(kReplyResultSize) + dataSize);
  if (!block) {
    LogFailure("Unable to allocate memory for packet body.\r\n");
    return false;
  }
  PutU32(block, static_cast<uint32_t>(result));
  if (data && dataSize) std::memcpy(block + kReplyResultSize, data, dataSize);
  bool sent = SendPacket({kReplyResultSize + dataSize, kTagReply}, block);
  FreePacketBody(block);
  return sent;
}

int32_t PacketTransport::ReceiveReply() {
  PacketHeader header;
  uint8_t* body = nullptr;
  if (!ReceivePacket(&header, &body)) return -1;
  int32_t result = -1;
  // A reply too short for its result word is no answer.
  if (header.tag != kTagReply || !ReplyResult(body, header.bodySize, &result)) result = -1;
  FreePacketBody(body);
  return result;
}
