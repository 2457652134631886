// What the batches share: the shape of a kernel, and marks that are never cleared.
//
// A batch scores rows (a term, or a query profile) against columns. A kernel is a class with
//   using Scratch = ...;                     per-thread working memory
//   Scratch scratch() const;                 made once per thread, on that thread
//   void prepare(Scratch&, std::size_t i) const;           before row i's cells
//   double score(Scratch&, std::size_t i, std::size_t j) const;   one cell
//   void clear(Scratch&, std::size_t i) const;             after row i's cells
// and is shared read-only by every thread; the drivers (batch_driver.hpp) decide which thread
// scores which cells. A kernel's score must not depend on which cells a thread scored before.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ontarix {

// ---- marks --------------------------------------------------------------------------------------

// Marks numbers for the current row without ever clearing: a number is marked when its stamp is
// the row's generation.
class Stamps {
public:
    explicit Stamps(std::size_t size) : stamps_(size, 0) {}

    void next_row() {
        if (++generation_ == 0) {  // wrapped: old stamps could look current
            std::fill(stamps_.begin(), stamps_.end(), 0);
            generation_ = 1;
        }
    }
    void mark(std::uint32_t n) noexcept { stamps_[n] = generation_; }
    bool marked(std::uint32_t n) const noexcept { return stamps_[n] == generation_; }

private:
    std::vector<std::uint32_t> stamps_;
    std::uint32_t generation_ = 0;
};

}  // namespace ontarix
