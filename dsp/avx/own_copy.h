// Included by the AVX units within their namespace macros, so that it is
// plumbra_avx::ownCopy: a processor object, passed to an AVX entry by its own
// type, seen as the unit's copy of that type (the same source compiled again,
// its layout print checked by the processor before it takes the AVX path).
#pragma once

#include <new>

namespace plumbra {

template <class Own, class Theirs>
inline Own& ownCopy(Theirs& x)
{
    return *std::launder(reinterpret_cast<Own*>(&x));
}
template <class Own, class Theirs>
inline const Own* ownCopies(const Theirs* x)
{
    return std::launder(reinterpret_cast<const Own*>(x));
}
template <class Own, class Theirs>
inline Own* ownCopies(Theirs* x)
{
    return std::launder(reinterpret_cast<Own*>(x));
}

}  // namespace plumbra
