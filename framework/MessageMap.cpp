#include "MessageMap.h"

const MessageMap* CCmdTarget::GetThisMessageMap() {
  static const MessageEntry entries[] = {{0, 0, 0, HandlerSig::kVoid, nullptr}};
  static const MessageMap map = {nullptr, entries};
  return &map;
}

bool CCmdTarget::Dispatch(UINT message, UINT code, UINT id, LRESULT& result) {
  for (const MessageMap* map = GetMessageMap(); map; map = map->base ? map->base() : nullptr) {
    for (const MessageEntry* entry = map->entries; entry->message; ++entry) {
      if (entry->message != message || entry->code != code || entry->id != id) continue;
      switch (entry->sig) {
        case HandlerSig::kVoid:
          (this->*entry->handler)();
          result = 0;
          break;
        case HandlerSig::kCursor:
          result = reinterpret_cast<LRESULT>(
              (this->*reinterpret_cast<HCURSOR (CCmdTarget::*)()>(entry->handler))());
          break;
      }
      return true;
    }
  }
  return false;
}
