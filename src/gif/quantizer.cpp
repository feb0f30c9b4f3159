// The octree quantiser. Nodes live in one pool addressed by index, with a free list, so building
// and pruning the tree allocates only when the pool grows.
#include <array>
#include <cstdint>
#include <vector>

#include "gif/reduce.h"

namespace vexo {

namespace {

constexpr std::int32_t kNoNode = -1;
constexpr std::uint32_t kNoColor = 0xFFFFFFFF;

struct TOctreeNode {
  // 64-bit sums: a leaf of a large flat image would pass 32 bits.
  std::uint64_t pixels = 0, red = 0, green = 0, blue = 0;
  std::array<std::int32_t, 8> children{};  // 0 = none: the root is nobody's child
  std::int32_t nextReducible = kNoNode;
  bool leaf = false;
};

}  // namespace

struct TColorQuantizer::Tree {
  Tree(int maxColorCount, int bits) : maxColors(maxColorCount), colorBits(bits) {
    reducible.fill(kNoNode);
    createNode(0);
  }

  // Walks down from the root to the colour's leaf, creating missing nodes on the way: depth
  // colorBits gives a leaf, any shallower node goes to the head of its level's reducible list.
  // At depth d the child is bit 7 − d of red, green and blue. A repeat of the last colour meets
  // the same leaf as long as nothing was reduced since, so it skips the walk.
  void add(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const std::uint32_t key = std::uint32_t{r} << 16 | std::uint32_t{g} << 8 | b;
    if (key != lastColor) {
      std::int32_t index = 0;
      for (int depth = 0; !nodes[index].leaf; ++depth) {
        const int shift = 7 - depth;
        const int slot = (r >> shift & 1) << 2 | (g >> shift & 1) << 1 | (b >> shift & 1);
        std::int32_t child = nodes[index].children[slot];
        if (child == 0) {
          child = createNode(depth + 1);
          nodes[index].children[slot] = child;
        }
        index = child;
      }
      lastColor = key;
      lastLeaf = index;
    }
    TOctreeNode& leaf = nodes[lastLeaf];
    ++leaf.pixels;
    leaf.red += r;
    leaf.green += g;
    leaf.blue += b;
    while (leafCount > maxColors && reduce()) {
    }
  }

  std::int32_t createNode(int depth) {
    std::int32_t index;
    if (freeNodes.empty()) {
      index = static_cast<std::int32_t>(nodes.size());
      nodes.emplace_back();
    } else {
      index = freeNodes.back();
      freeNodes.pop_back();
      nodes[index] = TOctreeNode{};
    }
    if (depth == colorBits) {
      nodes[index].leaf = true;
      ++leafCount;
    } else {
      nodes[index].nextReducible = reducible[depth];
      reducible[depth] = index;
    }
    return index;
  }

  // Merges the children of the most recent reducible node of the deepest non-empty level from
  // colorBits − 1 to 1 (else the root) into it. False when nothing is left to reduce.
  bool reduce() {
    int level = colorBits - 1;
    while (level > 0 && reducible[level] == kNoNode) --level;
    if (level < 0 || reducible[level] == kNoNode) return false;
    const std::int32_t index = reducible[level];
    TOctreeNode& node = nodes[index];
    reducible[level] = node.nextReducible;
    int merged = 0;
    for (std::int32_t& child : node.children) {
      if (child == 0) continue;
      const TOctreeNode& c = nodes[child];
      node.pixels += c.pixels;
      node.red += c.red;
      node.green += c.green;
      node.blue += c.blue;
      freeNodes.push_back(child);
      child = 0;
      ++merged;
    }
    node.leaf = true;
    leafCount -= merged - 1;
    lastColor = kNoColor;
    return true;
  }

  void collect(std::int32_t index, Palette& out) const {
    const TOctreeNode& node = nodes[index];
    if (!node.leaf) {
      for (const std::int32_t child : node.children)
        if (child != 0) collect(child, out);
      return;
    }
    if (node.pixels == 0) {
      out.push_back({});
      return;
    }
    out.push_back({static_cast<std::uint8_t>(node.red / node.pixels),
                   static_cast<std::uint8_t>(node.green / node.pixels),
                   static_cast<std::uint8_t>(node.blue / node.pixels), 0});
  }

  const int maxColors, colorBits;
  std::vector<TOctreeNode> nodes;  // node 0 is the root
  std::vector<std::int32_t> freeNodes;
  std::array<std::int32_t, 8> reducible;  // list heads by depth, most recent first
  int leafCount = 0;
  std::uint32_t lastColor = kNoColor;  // the colour last added and its leaf
  std::int32_t lastLeaf = 0;
};

TColorQuantizer::TColorQuantizer(int maxColors, int colorBits) {
  if (colorBits > 8) throw GIFException("ColorBits must be 8 or less");
  tree_ = std::make_unique<Tree>(maxColors, colorBits < 0 ? 0 : colorBits);
}

TColorQuantizer::~TColorQuantizer() = default;

void TColorQuantizer::AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  tree_->add(red, green, blue);
}

void TColorQuantizer::AddBitmap(const Bitmap& image24) {
  if (image24.empty()) return;
  if (image24.bits() != 24) {
    AddBitmap(ConvertToBitmap24(image24));
    return;
  }
  Tree& tree = *tree_;
  for (int y = 0; y < image24.height(); ++y) {
    const std::uint8_t* p = image24.row(y);
    for (int x = 0; x < image24.width(); ++x, p += 3) tree.add(p[2], p[1], p[0]);
  }
}

int TColorQuantizer::LeafCount() const {
  return tree_->leafCount;
}

Palette TColorQuantizer::ColorTable() const {
  Palette palette;
  palette.reserve(static_cast<std::size_t>(tree_->leafCount));
  tree_->collect(0, palette);
  return palette;
}

}  // namespace vexo
