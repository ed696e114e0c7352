#pragma once

#include "automation/frame/com_ptr.h"
#include "automation/frame/page_engine.h"
#include "engine/common/ref_counted.h"
#include "engine/mime/mime_part.h"

namespace vesk::com {

// The page's Server object as the engine's parts and part lists carry it (in
// their user-data slot), so that body objects made for them later map
// virtual file names the same way.
class PageServerSlot final : public RefCounted {
 public:
  explicit PageServerSlot(IServer* server) : server(server) {}
  ComPtr<IServer> server;
};

inline IServer* PageServerOf(const Ref<RefCounted>& slot) {
  const auto* holder = static_cast<const PageServerSlot*>(slot.get());
  return holder ? holder->server.get() : nullptr;
}

inline Ref<RefCounted> MakePageServerSlot(IServer* server) {
  return server ? Ref<RefCounted>(MakeRef<PageServerSlot>(server)) : Ref<RefCounted>();
}

}  // namespace vesk::com
