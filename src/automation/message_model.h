#pragma once

// The road between this library's own objects: a protocol object that is
// handed one of our message objects takes its model directly (its envelope,
// and its bytes as Save writes them), instead of asking for its text, which
// would cross as a string and be converted back to bytes, losing every byte
// the code page in between cannot carry. The interface is not in the type
// library: only objects of this library answer for it, and a message object
// of another implementation (or one reached through another apartment) keeps
// the text road.

#include "automation/frame/com_ptr.h"
#include "automation/frame/win.h"
#include "engine/mime/message_entity.h"

namespace vesk::com {

//   {833B8E16-B57A-4D67-9F58-37E0A6F3AF74}
struct IMessageModel : IUnknown {
  // The message's model; valid while the object lives.
  virtual MessageEntity* STDMETHODCALLTYPE Model() = 0;
};

}  // namespace vesk::com

__CRT_UUID_DECL(vesk::com::IMessageModel, 0x833B8E16, 0xB57A, 0x4D67, 0x9F, 0x58, 0x37, 0xE0, 0xA6, 0xF3, 0xAF, 0x74)

namespace vesk::com {

// The model of `object` when it is one of our message objects; empty
// otherwise.
inline Ref<MessageEntity> OwnMessageModel(IUnknown* object) {
  ComPtr<IMessageModel> own;
  if (!object || FAILED(object->QueryInterface(__uuidof(IMessageModel), own.put_void())) || !own) return {};
  return Ref<MessageEntity>(own->Model());
}

}  // namespace vesk::com
