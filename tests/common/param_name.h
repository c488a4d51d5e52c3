// Parameterised tests over records are named by their row number: the default name dumps the
// record's bytes, padding and pointers included, which differ between the listing and the run.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct ParamRowName {
    template <class T> std::string operator()(const ::testing::TestParamInfo<T>& info) const
    {
        return "row" + std::to_string(info.index);
    }
};
