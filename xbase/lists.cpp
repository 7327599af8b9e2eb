// Intrusive circular doubly linked list.
#include "xbase/engine.h"

void l4append(LIST4* list, LINK4* link) { l4addAfter(list, list->last, link); }

void l4addAfter(LIST4* list, LINK4* anchor, LINK4* link) {
  if (list->last == nullptr) {
    link->next = link->prev = link;
    list->last = link;
  } else {
    link->prev = anchor;
    link->next = anchor->next;
    anchor->next->prev = link;
    anchor->next = link;
    if (anchor == list->last) list->last = link;
  }
  ++list->count;
}

void l4addBefore(LIST4* list, LINK4* anchor, LINK4* link) {
  if (list->last == nullptr) {
    link->next = link->prev = link;
    list->last = link;
  } else {
    link->next = anchor;
    link->prev = anchor->prev;
    anchor->prev->next = link;
    anchor->prev = link;
  }
  ++list->count;
}

LINK4* l4first(const LIST4* list) {
  return list->last == nullptr ? nullptr : list->last->next;
}

LINK4* l4last(const LIST4* list) { return list->last; }

LINK4* l4next(const LIST4* list, const LINK4* link) {
  if (link == nullptr) return l4first(list);
  if (link == list->last) return nullptr;
  return link->next;
}

LINK4* l4prev(const LIST4* list, const LINK4* link) {
  if (link == nullptr) return list->last;
  if (link == l4first(list)) return nullptr;
  return link->prev;
}

void l4remove(LIST4* list, LINK4* link) {
  if (link == nullptr || list->last == nullptr) return;
  bool only = link->next == link;
  if (list->selected == link) list->selected = only ? nullptr : link->prev;
  if (list->last == link) list->last = only ? nullptr : link->prev;
  link->prev->next = link->next;
  link->next->prev = link->prev;
  link->next = link->prev = nullptr;
  --list->count;
}

LINK4* l4pop(LIST4* list) {
  LINK4* last = list->last;
  l4remove(list, last);
  return last;
}

int l4seek(const LIST4* list, const LINK4* link) {
  for (LINK4* l = l4first(list); l != nullptr; l = l4next(list, l))
    if (l == link) return 1;
  return 0;
}
