// The corner word and its twelve quarter turns, shared by the 3x3x3 model
// (its corner word) and the 2x2x2 model (its whole state).
//
// Slots 0..7 are ULB UBR URF UFL DLB DBR DFR DFL; see cube/slots.h for the
// field layout. Each turn is one 4-cycle of slots followed by the twist
// change of the slots it filled: "+1" and "+2" units name the receiving
// slots. U, U', D and D' are the layer formulas of cube/slots.h, which the
// edge word shares.
#pragma once

#include "cube/slots.h"

namespace tessaroll::corner_turns {
using slots::cycle4;
using slots::kTwistUnit;
using slots::twist_add1;
using slots::twist_add2;
using slots::u64;

// Every corner in its home slot, untwisted: slot k holds piece k.
inline constexpr u64 kSolved = 0x000000398A418820ULL;

constexpr u64 u(u64 w) {
    return slots::layer_u(w);
}
constexpr u64 u_prime(u64 w) {
    return slots::layer_u_prime(w);
}
constexpr u64 d(u64 w) {
    return slots::layer_d(w);
}
constexpr u64 d_prime(u64 w) {
    return slots::layer_d_prime(w);
}
// R: 1<-2 +1, 2<-6 +2, 6<-5 +1, 5<-1 +2
constexpr u64 r(u64 w) {
    return twist_add2<kTwistUnit<2, 5>>(twist_add1<kTwistUnit<1, 6>>(cycle4<1, 2, 6, 5>(w)));
}
// R': 1<-5 +1, 5<-6 +2, 6<-2 +1, 2<-1 +2
constexpr u64 r_prime(u64 w) {
    return twist_add2<kTwistUnit<2, 5>>(twist_add1<kTwistUnit<1, 6>>(cycle4<1, 5, 6, 2>(w)));
}
// L: 0<-4 +2, 4<-7 +1, 7<-3 +2, 3<-0 +1
constexpr u64 l(u64 w) {
    return twist_add2<kTwistUnit<0, 7>>(twist_add1<kTwistUnit<3, 4>>(cycle4<0, 4, 7, 3>(w)));
}
// L': 0<-3 +2, 3<-7 +1, 7<-4 +2, 4<-0 +1
constexpr u64 l_prime(u64 w) {
    return twist_add2<kTwistUnit<0, 7>>(twist_add1<kTwistUnit<3, 4>>(cycle4<0, 3, 7, 4>(w)));
}
// F: 2<-3 +1, 3<-7 +2, 7<-6 +1, 6<-2 +2
constexpr u64 f(u64 w) {
    return twist_add2<kTwistUnit<3, 6>>(twist_add1<kTwistUnit<2, 7>>(cycle4<2, 3, 7, 6>(w)));
}
// F': 2<-6 +1, 6<-7 +2, 7<-3 +1, 3<-2 +2
constexpr u64 f_prime(u64 w) {
    return twist_add2<kTwistUnit<3, 6>>(twist_add1<kTwistUnit<2, 7>>(cycle4<2, 6, 7, 3>(w)));
}
// B: 0<-1 +1, 1<-5 +2, 5<-4 +1, 4<-0 +2
constexpr u64 b(u64 w) {
    return twist_add2<kTwistUnit<1, 4>>(twist_add1<kTwistUnit<0, 5>>(cycle4<0, 1, 5, 4>(w)));
}
// B': 0<-4 +1, 4<-5 +2, 5<-1 +1, 1<-0 +2
constexpr u64 b_prime(u64 w) {
    return twist_add2<kTwistUnit<1, 4>>(twist_add1<kTwistUnit<0, 5>>(cycle4<0, 4, 5, 1>(w)));
}
} // namespace tessaroll::corner_turns
