// Type lists of every table's binding and of the facades with the standard
// operations, for typed tests; both from the table list, in catalogue order.
#pragma once

#include <gtest/gtest.h>

#include <type_traits>

#include "DivUdurezevudoZE/Tables.h"

namespace divu::test {

#define DIVU_TEST_BINDING(Binding, ...) , Binding
using AllBindings =
    TypesAfterVoid<void DIVU_TABLES(DIVU_TEST_BINDING, DIVU_TEST_BINDING, DIVU_TEST_BINDING)>::Into<testing::Types>;
#undef DIVU_TEST_BINDING

// The history facade's reads see live rows only and its removal marks rows
// instead of deleting them, so the standard operations' expectations do not
// hold for it: JobVolumeHistoryTest has its own.
template <class Facade>
constexpr bool kStandardSemantics = !std::is_same_v<Facade, CYLJobVolumeHistoryDB>;

template <class... A, class... B>
TypeList<A..., B...> operator+(TypeList<A...>, TypeList<B...>);
template <class... Facades>
using WithStandardSemantics =
    decltype((TypeList<>{} + ... + std::conditional_t<kStandardSemantics<Facades>, TypeList<Facades>, TypeList<>>{}));

// Every facade whose seven operations behave as CStandardFacade's.
#define DIVU_TEST_FACADE(Binding, Facade, KeyText) , Facade
using StandardFacades =
    TypesAfterVoid<void DIVU_TABLES(DIVU_TEST_FACADE, DIVU_TEST_FACADE, DIVU_TABLE_SKIP)>::Into<WithStandardSemantics>;
#undef DIVU_TEST_FACADE

}  // namespace divu::test
