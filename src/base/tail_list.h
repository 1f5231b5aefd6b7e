// A singly linked list owned through `head`, appended at `tail`, released in
// a loop so that a long list (a message may carry 100,000 headers) cannot
// exhaust the stack. T has a `std::unique_ptr<T> next` member.
//
// Threads: a list belongs to whoever owns the record holding it.
#pragma once

#include <memory>

template <class T> struct TailList {
  std::unique_ptr<T> head;
  T *tail = nullptr;

  TailList() = default;
  TailList(const TailList &) = delete;
  TailList &operator=(const TailList &) = delete;
  TailList(TailList &&other) noexcept : head(std::move(other.head)), tail(other.tail) { other.tail = nullptr; }
  TailList &operator=(TailList &&other) noexcept {
    clear();
    head = std::move(other.head);
    tail = other.tail;
    other.tail = nullptr;
    return *this;
  }
  ~TailList() { clear(); }

  void append(std::unique_ptr<T> node) noexcept {
    T *raw = node.get();
    raw->next.reset();
    (tail ? tail->next : head) = std::move(node);
    tail = raw;
  }
  void clear() noexcept {
    while (head) head = std::move(head->next);
    tail = nullptr;
  }
  bool empty() const noexcept { return !head; }
};
