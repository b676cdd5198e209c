// Message tables as data: each class lists (message, notification, control id,
// member handler) entries and names its base class's table, and one short loop
// walks them from the most derived class down.
#pragma once

#include <windows.h>

class CCmdTarget;

// How a handler is called; the table stores every handler as one type.
enum class HandlerSig { kVoid, kCursor };
using Handler = void (CCmdTarget::*)();

struct MessageEntry {
  UINT message;  // 0 ends a table
  UINT code;     // notification code, for WM_COMMAND
  UINT id;       // control or command id, for WM_COMMAND
  HandlerSig sig;
  Handler handler;
};

struct MessageMap {
  const MessageMap* (*base)();  // null for the root
  const MessageEntry* entries;
};

class CCmdTarget {
 public:
  virtual ~CCmdTarget() = default;

  // Calls the first handler for (message, code, id) in this class's table or a
  // base's; false when there is none.
  bool Dispatch(UINT message, UINT code, UINT id, LRESULT& result);

  static const MessageMap* GetThisMessageMap();

 protected:
  virtual const MessageMap* GetMessageMap() const { return GetThisMessageMap(); }
};

#define DECLARE_MESSAGE_MAP()                                  \
 public:                                                       \
  static const MessageMap* GetThisMessageMap();                \
                                                               \
 protected:                                                    \
  const MessageMap* GetMessageMap() const override { return GetThisMessageMap(); }

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                    \
  const MessageMap* theClass::GetThisMessageMap() {               \
    using ThisClass = theClass;                                   \
    using TheBaseClass = baseClass;                               \
    static const MessageEntry entries[] = {
#define END_MESSAGE_MAP()                                                   \
  {0, 0, 0, HandlerSig::kVoid, nullptr}                                     \
  }                                                                         \
  ;                                                                         \
  static const MessageMap map = {&TheBaseClass::GetThisMessageMap, entries}; \
  return &map;                                                              \
  }

// The handler's own type is checked against ThisClass, then widened to a
// CCmdTarget member (a standard conversion) before it is stored.
#define MESSAGE_HANDLER_(message, code, id, sig, ret, fn)                            \
  {message, code, id, sig,                                                           \
   reinterpret_cast<Handler>(                                                        \
       static_cast<ret (CCmdTarget::*)()>(static_cast<ret (ThisClass::*)()>(fn)))},

#define ON_COMMAND(id, fn) MESSAGE_HANDLER_(WM_COMMAND, 0, id, HandlerSig::kVoid, void, fn)
#define ON_BN_CLICKED(id, fn) \
  MESSAGE_HANDLER_(WM_COMMAND, BN_CLICKED, id, HandlerSig::kVoid, void, fn)
#define ON_WM_PAINT() \
  MESSAGE_HANDLER_(WM_PAINT, 0, 0, HandlerSig::kVoid, void, &ThisClass::OnPaint)
#define ON_WM_QUERYDRAGICON()                                            \
  MESSAGE_HANDLER_(WM_QUERYDRAGICON, 0, 0, HandlerSig::kCursor, HCURSOR, \
                   &ThisClass::OnQueryDragIcon)
