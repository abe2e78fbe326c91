// PacketTransport: moves packets over a LinkDevice under the chip's
// handshake and builds and reads ReplyPackets. The console leads every
// exchange; the host answers each request with exactly one packet. Failures
// are logged in the error colour to the page's log and returned plainly: the
// link worker resets the link after a failed exchange. Worker thread only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/packet_format.h"

class LinkDevice;

// A handshake wait gives up after this long without its condition, so that
// a console that stops in the middle of a transfer fails the exchange
// instead of holding the worker (and every pause of it) for ever.
constexpr DWORD kHandshakeTimeoutMs = 2000;

// Packet bodies are zero-filled heap blocks; a received one is owned by the
// caller, who releases it with FreePacketBody. PacketBodiesHeld counts the
// blocks not yet released, so a leak on any path shows.
uint8_t* AllocPacketBody(size_t size);
void FreePacketBody(uint8_t* body);
long PacketBodiesHeld();

class PacketTransport {
 public:
  PacketTransport(HWND page, LinkDevice* link) : page_(page), link_(link) {}

  // `body` holds header.bodySize bytes; it may be null when that is 0.
  bool SendPacket(const tavrin::PacketHeader& header, const void* body);
  // On success, a nonzero body size hands the caller a block in *body;
  // for size 0 *body is left as it was. On failure no block is handed out.
  bool ReceivePacket(tavrin::PacketHeader* header, uint8_t** body);
  // A negative length counts as 0; without data the data part is zeros.
  bool SendReply(int32_t result, const void* data, int32_t length);
  // The result of the next packet if it is a ReplyPacket, else -1.
  int32_t ReceiveReply();

  HWND Page() const { return page_; }

 protected:
  HWND page_;         // the device page: where error lines go
  LinkDevice* link_;  // not owned

 private:
  template <typename Condition>
  bool WaitStatus(Condition condition);
  bool SendRequested(const tavrin::PacketHeader& header, const void* body);
  void LogFailure(const char* text);
};
