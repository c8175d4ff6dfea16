#include "klx/spdevice.h"

#include "klx/events.h"
#include "klx/link.h"

KLXController::~KLXController() = default;

KLXSPDevice::KLXSPDevice() = default;

// The port belongs to the link's owner; the device only lets go of it.
KLXSPDevice::~KLXSPDevice() = default;

int KLXSPDevice::Reset() { return 1; }

int KLXSPDevice::Init(std::weak_ptr<KLXController>, unsigned int data_id, const Json::Value&) {
  data_id_ = data_id;
  return 1;
}

// A round may start when the line may take a command: open, no exchange awaiting its answer,
// quiet after a failed exchange and past any back-off. Without a link (unit tests drive the
// device by hand) the device is always ready.
int KLXSPDevice::RefreshStatus() {
  if (!link_) return 1;
  return link_->ready(link_->now()) ? 1 : 0;
}

bool KLXSPDevice::IsProcessing() { return link_ && link_->busy(link_->now()); }
bool KLXSPDevice::IsStalled() { return link_ && link_->timed_out(link_->now()); }

int KLXSPDevice::SendData(const unsigned char* data, unsigned int length) {
  if (!link_) return 0;
  return link_->send(data, length, this) ? static_cast<int>(length) : 0;
}

int KLXSPDevice::SendParityData(const unsigned char* data, unsigned int length, EnumParity) {
  return SendData(data, length);
}

int KLXSPDevice::OpenPort() {
  if (events()) events()->on_open_port(*this);
  if (!link_) return 1;
  return link_->is_open() || link_->open() ? 1 : 0;
}

int KLXSPDevice::ClosePort() {
  if (link_) link_->close();
  return 1;
}
