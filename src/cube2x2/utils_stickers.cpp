// Compile-time audit of the 2x2 sticker layout: it is the 3x3 corner layout
// with each face reduced to its four corners, it covers all 24 indexes once,
// and the solved cube projects to four of each colour code, face by face.
#include "cube2x2/utils.h"

namespace tessaroll {
namespace {

static_assert(stickers::covers_each_index_once<Cube2x2::sticker_dim>({},
                                                                     stickers2x2::kCornerFacelets));

// 3x3 positions 0, 2, 6, 8 of a face are 2x2 positions 0, 1, 2, 3.
constexpr std::size_t reduce(std::size_t index3x3) {
    const std::size_t pos = index3x3 % 9;
    return 4 * (index3x3 / 9) + (pos / 6) * 2 + (pos % 3) / 2;
}

constexpr bool is_reduced_3x3_layout() {
    for (std::size_t s = 0; s < 8; ++s)
        for (std::size_t j = 0; j < 3; ++j)
            if (stickers2x2::kCornerFacelets[s][j] != reduce(stickers3x3::kCornerFacelets[s][j]))
                return false;
    return true;
}
static_assert(is_reduced_3x3_layout());

static_assert(stickers::reads_face_by_face(Cube2x2{}.to_sticker_array_internal()));

} // namespace
} // namespace tessaroll
