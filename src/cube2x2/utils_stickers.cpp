// Compile-time audit of the 2x2 sticker layout: it covers all 24 indexes
// once, and the solved cube projects to four of each colour code, face by
// face. (That it is the 3x3 corner layout with each face reduced to its
// corners is checked by the C++ tests, which see both models.)
#include "cube2x2/utils.h"

namespace tessaroll {
namespace {

static_assert(stickers::covers_each_index_once<Cube2x2::sticker_dim>({},
                                                                     stickers2x2::kCornerFacelets));

static_assert(stickers::reads_face_by_face(Cube2x2{}.to_sticker_array_internal()));

} // namespace
} // namespace tessaroll
