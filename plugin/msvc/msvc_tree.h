// std::map<std::string, V> as a Visual Studio 2015-2022 host lays it out
// (release runtime): a red-black tree whose head node is also the nil leaf.
//
//   map (8 bytes, 32-bit):   head pointer, size
//   node (32-bit offsets):   0 left, 4 parent, 8 right (pointers),
//                            12 color (0 red, 1 black), 13 isNil, 14 padding,
//                            16 key (MsvcString), 40 value
//   head node:               left = leftmost node, parent = root,
//                            right = rightmost node, black, isNil 1; every
//                            missing child, and the root's parent, is the head
//
// Nodes are blocks of the host's heap (sizeof the node, the head included), so
// the host's own code can iterate, erase and destroy what the plug-in inserted,
// and the plug-in can destroy what the host built. Keys are ordered byte by
// byte, shorter first on a common prefix, as the host's std::less orders them.
// Pure functions over the given heap; one map per thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plugin/msvc/msvc_block.h"
#include "plugin/msvc/msvc_string.h"

namespace qrv::plugin::msvc {

inline constexpr char kRed = 0;
inline constexpr char kBlack = 1;

template <class Value>
struct MsvcTreeNode {
  MsvcTreeNode* left;
  MsvcTreeNode* parent;
  MsvcTreeNode* right;
  char color;
  char isNil;
  MsvcString key;
  Value value;
};

template <class Value>
struct MsvcMap {
  MsvcTreeNode<Value>* head;
  size_t size;
};

using MsvcParameterMap = MsvcMap<MsvcString>;  // std::map<std::string, std::string>
using MsvcPropertyMap = MsvcMap<int32_t>;      // std::map<std::string, int>

#if defined(__i386__)
static_assert(sizeof(MsvcParameterMap) == 8);
static_assert(offsetof(MsvcTreeNode<MsvcString>, color) == 12);
static_assert(offsetof(MsvcTreeNode<MsvcString>, key) == 16);
static_assert(sizeof(MsvcTreeNode<MsvcString>) == 64);
static_assert(sizeof(MsvcTreeNode<int32_t>) == 44);
#endif

namespace tree_detail {

inline void InitValue(MsvcString& value) {
  InitEmpty(value);
}
inline void InitValue(int32_t& value) {
  value = 0;
}
inline void DestroyValue(MsvcString& value, const platform::HostHeap& heap) {
  Destroy(value, heap);
}
inline void DestroyValue(int32_t&, const platform::HostHeap&) {}

template <class Value>
void RotateLeft(MsvcTreeNode<Value>* head, MsvcTreeNode<Value>* node) {
  MsvcTreeNode<Value>* pivot = node->right;
  node->right = pivot->left;
  if (!pivot->left->isNil) pivot->left->parent = node;
  pivot->parent = node->parent;
  if (node == head->parent) {
    head->parent = pivot;
  } else if (node == node->parent->left) {
    node->parent->left = pivot;
  } else {
    node->parent->right = pivot;
  }
  pivot->left = node;
  node->parent = pivot;
}

template <class Value>
void RotateRight(MsvcTreeNode<Value>* head, MsvcTreeNode<Value>* node) {
  MsvcTreeNode<Value>* pivot = node->left;
  node->left = pivot->right;
  if (!pivot->right->isNil) pivot->right->parent = node;
  pivot->parent = node->parent;
  if (node == head->parent) {
    head->parent = pivot;
  } else if (node == node->parent->right) {
    node->parent->right = pivot;
  } else {
    node->parent->left = pivot;
  }
  pivot->right = node;
  node->parent = pivot;
}

// Links a red node below parent (the head for an empty tree) and restores the
// red-black rules: no red node with a red parent, the root black.
template <class Value>
void Link(MsvcMap<Value>& map, MsvcTreeNode<Value>* parent, bool asLeft,
          MsvcTreeNode<Value>* node) {
  MsvcTreeNode<Value>* head = map.head;
  ++map.size;
  node->parent = parent;
  if (parent == head) {
    head->left = head->parent = head->right = node;
    node->color = kBlack;
    return;
  }
  if (asLeft) {
    parent->left = node;
    if (parent == head->left) head->left = node;
  } else {
    parent->right = node;
    if (parent == head->right) head->right = node;
  }
  // The head is black, so the walk stops below the root.
  for (MsvcTreeNode<Value>* at = node; at->parent->color == kRed;) {
    MsvcTreeNode<Value>* grand = at->parent->parent;
    if (at->parent == grand->left) {
      MsvcTreeNode<Value>* uncle = grand->right;
      if (uncle->color == kRed) {
        at->parent->color = kBlack;
        uncle->color = kBlack;
        grand->color = kRed;
        at = grand;
        continue;
      }
      if (at == at->parent->right) {
        at = at->parent;
        RotateLeft(head, at);
      }
      at->parent->color = kBlack;
      at->parent->parent->color = kRed;
      RotateRight(head, at->parent->parent);
    } else {
      MsvcTreeNode<Value>* uncle = grand->left;
      if (uncle->color == kRed) {
        at->parent->color = kBlack;
        uncle->color = kBlack;
        grand->color = kRed;
        at = grand;
        continue;
      }
      if (at == at->parent->left) {
        at = at->parent;
        RotateRight(head, at);
      }
      at->parent->color = kBlack;
      at->parent->parent->color = kRed;
      RotateLeft(head, at->parent->parent);
    }
  }
  head->parent->color = kBlack;
}

}  // namespace tree_detail

// An empty map with its head node; false when the heap has no room.
template <class Value>
bool InitEmptyMap(MsvcMap<Value>& map, const platform::HostHeap& heap) {
  auto* head = static_cast<MsvcTreeNode<Value>*>(AllocateBlock(heap, sizeof(MsvcTreeNode<Value>)));
  if (head == nullptr) return false;
  head->left = head->parent = head->right = head;
  head->color = kBlack;
  head->isNil = 1;
  map.head = head;
  map.size = 0;
  return true;
}

// The node holding key, or null.
template <class Value>
MsvcTreeNode<Value>* Find(const MsvcMap<Value>& map, std::string_view key) {
  MsvcTreeNode<Value>* node = map.head->parent;
  while (!node->isNil) {
    const int order = View(node->key).compare(key);
    if (order == 0) return node;
    node = order < 0 ? node->right : node->left;
  }
  return nullptr;
}

// The node holding key, inserted with an empty value when absent (the host's
// operator[]); null, with the map unchanged, when the heap has no room.
template <class Value>
MsvcTreeNode<Value>* FindOrInsert(MsvcMap<Value>& map, std::string_view key,
                                  const platform::HostHeap& heap) {
  MsvcTreeNode<Value>* parent = map.head;
  bool asLeft = true;
  for (MsvcTreeNode<Value>* node = map.head->parent; !node->isNil;) {
    const int order = View(node->key).compare(key);
    if (order == 0) return node;
    parent = node;
    asLeft = order > 0;
    node = asLeft ? node->left : node->right;
  }
  auto* node = static_cast<MsvcTreeNode<Value>*>(AllocateBlock(heap, sizeof(MsvcTreeNode<Value>)));
  if (node == nullptr) return nullptr;
  InitEmpty(node->key);
  if (!Assign(node->key, key, heap)) {
    FreeBlock(heap, node, sizeof(MsvcTreeNode<Value>));
    return nullptr;
  }
  tree_detail::InitValue(node->value);
  node->left = node->right = map.head;
  node->color = kRed;
  node->isNil = 0;
  tree_detail::Link(map, parent, asLeft, node);
  return node;
}

// Calls visit(key, value) for every entry in key order.
template <class Value, class Visit>
void ForEach(const MsvcMap<Value>& map, Visit&& visit) {
  MsvcTreeNode<Value>* node = map.head->left;
  while (!node->isNil) {
    visit(View(node->key), node->value);
    if (!node->right->isNil) {
      node = node->right;
      while (!node->left->isNil) node = node->left;
    } else {
      MsvcTreeNode<Value>* up = node->parent;
      while (!up->isNil && node == up->right) {
        node = up;
        up = up->parent;
      }
      node = up;
    }
  }
}

// Frees every node, its key and value, and the head, as the host's destructor
// would; the map is left without a head (size 0).
template <class Value>
void DestroyMap(MsvcMap<Value>& map, const platform::HostHeap& heap) {
  if (map.head == nullptr) return;
  // Each step frees a leaf, so the walk needs no stack of its own.
  MsvcTreeNode<Value>* node = map.head->parent;
  while (!node->isNil) {
    if (!node->left->isNil) {
      node = node->left;
    } else if (!node->right->isNil) {
      node = node->right;
    } else {
      MsvcTreeNode<Value>* up = node->parent;
      if (!up->isNil) {
        if (up->left == node) {
          up->left = map.head;
        } else {
          up->right = map.head;
        }
      }
      Destroy(node->key, heap);
      tree_detail::DestroyValue(node->value, heap);
      FreeBlock(heap, node, sizeof(MsvcTreeNode<Value>));
      node = up;
    }
  }
  FreeBlock(heap, map.head, sizeof(MsvcTreeNode<Value>));
  map.head = nullptr;
  map.size = 0;
}

}  // namespace qrv::plugin::msvc
