// Compile-time audit of the 3x3 sticker layout: the facelet tables and the
// centres cover all 54 indexes once, and the solved cube projects to nine of
// each colour code, face by face.
#include "cube3x3/utils.h"

namespace tessaroll {
namespace {

static_assert(stickers::covers_each_index_once<Cube3x3::sticker_dim>(
    {stickers3x3::centre(0), stickers3x3::centre(1), stickers3x3::centre(2), stickers3x3::centre(3),
     stickers3x3::centre(4), stickers3x3::centre(5)},
    stickers3x3::kCornerFacelets, stickers3x3::kEdgeFacelets));

static_assert(stickers::reads_face_by_face(Cube3x3{}.to_sticker_array_internal()));

// Facelet 0 of every slot lies on U or D, except the middle-layer edges,
// whose facelet 0 lies on B (slots 8, 9) or F (slots 10, 11).
constexpr bool reference_faces_hold() {
    using stickers::Face;
    auto face = [](std::size_t index) { return index / 9; };
    for (const auto& slot : stickers3x3::kCornerFacelets)
        if (face(slot[0]) != Face::U && face(slot[0]) != Face::D) return false;
    for (std::size_t s = 0; s < 12; ++s) {
        const std::size_t f = face(stickers3x3::kEdgeFacelets[s][0]);
        const std::size_t want_a = s < 8 ? Face::U : (s < 10 ? Face::B : Face::F);
        const std::size_t want_b = s < 8 ? Face::D : want_a;
        if (f != want_a && f != want_b) return false;
    }
    return true;
}
static_assert(reference_faces_hold());

} // namespace
} // namespace tessaroll
