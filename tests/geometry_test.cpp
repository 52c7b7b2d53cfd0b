#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <sstream>

#include "geometry/matrix.h"

namespace
{

void ExpectVector(const Vector3& v, double x, double y, double z)
{
    EXPECT_EQ(v.x, x);
    EXPECT_EQ(v.y, y);
    EXPECT_EQ(v.z, z);
}

TEST(Vector3Values, DefaultIsUnitZAndMatrixDefaultIsIdentity)
{
    ExpectVector(Vector3(), 0.0, 0.0, 1.0);
    const Matrix4x4 m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(m.m[4 * r + c], r == c ? 1.0 : 0.0);
}

TEST(Vector3Values, UnitNormaliseKeepsZeroAndNaN)
{
    Vector3 zero(0.0, 0.0, 0.0);
    zero.Unit();
    ExpectVector(zero, 0.0, 0.0, 0.0);
    Vector3 z2(0.0, 0.0, 2.0);
    z2.Unit();
    ExpectVector(z2, 0.0, 0.0, 1.0);
    Vector3 v(3.0, 0.0, 4.0);
    v.Unit();
    EXPECT_NEAR(v.x, 0.6, 1e-15);
    EXPECT_EQ(v.y, 0.0);
    EXPECT_NEAR(v.z, 0.8, 1e-15);
    Vector3 nan(std::nan(""), 1.0, 1.0);
    nan.Unit();
    EXPECT_TRUE(std::isnan(nan.x) && std::isnan(nan.y) && std::isnan(nan.z));
}

TEST(Vector3Values, NormLengthAndDivisionByReciprocal)
{
    const Vector3 v(1.0, 2.0, 2.0);
    EXPECT_EQ(v.Norm(), 9.0);
    EXPECT_EQ(v.Length(), 3.0);
    // Division multiplies by 1/d, which differs from true division for 3.
    Vector3 w(1.0, 2.0, 10.0);
    w /= 3.0;
    const double r = 1.0 / 3.0;
    ExpectVector(w, 1.0 * r, 2.0 * r, 10.0 * r);
    Vector3 byZero(1.0, -1.0, 0.0);
    byZero /= 0.0;
    EXPECT_TRUE(std::isinf(byZero.x) && std::isinf(byZero.y) && std::isnan(byZero.z));
}

TEST(Vector3Values, CrossAllowsReceiverAsArgument)
{
    const Vector3 a(1.0, 2.0, 3.0);
    const Vector3 b(-4.0, 0.5, 2.0);
    Vector3 expected;
    expected.Cross(a, b);
    Vector3 first = a;
    first.Cross(first, b);
    ExpectVector(first, expected.x, expected.y, expected.z);
    Vector3 second = b;
    second.Cross(a, second);
    ExpectVector(second, expected.x, expected.y, expected.z);
    Vector3 z;
    z.Cross(Vector3(1.0, 0.0, 0.0), Vector3(0.0, 1.0, 0.0));
    ExpectVector(z, 0.0, 0.0, 1.0);
}

TEST(Vector3Values, ComponentMinMaxPreferFirstOnTiesAndNaN)
{
    const double nan = std::nan("");
    const Vector3 lo = component_min(Vector3(0.0, nan, 5.0), Vector3(-0.0, 1.0, nan));
    EXPECT_FALSE(std::signbit(lo.x));
    EXPECT_TRUE(std::isnan(lo.y));
    EXPECT_EQ(lo.z, 5.0);
    const Vector3 hi = component_max(Vector3(-0.0, 2.0, 1.0), Vector3(0.0, nan, 3.0));
    EXPECT_TRUE(std::signbit(hi.x));
    EXPECT_EQ(hi.y, 2.0);
    EXPECT_EQ(hi.z, 3.0);
}

TEST(Vector3Values, StreamFormUsesStreamSettings)
{
    std::ostringstream out;
    out << Vector3();
    EXPECT_EQ(out.str(), "| 0 0 1 |");
    std::ostringstream precise;
    precise.precision(3);
    precise << Vector3(1.0 / 3.0, -2.5, 1e7);
    EXPECT_EQ(precise.str(), "| 0.333 -2.5 1e+07 |");
}

TEST(Matrix4x4Values, TransformAppliesRowsAndTranslation)
{
    Matrix4x4 m;
    // Rows (a b c x), (d e f y), (g h i z) as an LDraw placement holds them.
    const double rows[12] = {0, 0, 1, 10, 0, 1, 0, 20, -1, 0, 0, 30};
    for (int i = 0; i < 12; ++i)
        m.m[i] = rows[i];
    ExpectVector(m * Vector3(1.0, 2.0, 3.0), 13.0, 22.0, 29.0);
    const Matrix4x4 t = m.Transpose();
    EXPECT_EQ(t.m[1], m.m[4]);
    EXPECT_EQ(t.m[12], 10.0);
    EXPECT_EQ(m.m[3], 10.0);  // the receiver is left alone
    const Matrix4x4 back = t.Transpose();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(back.m[i], m.m[i]);
}

TEST(Vector3Values, SwapAndOperators)
{
    Vector3 a(1.0, 2.0, 3.0);
    Vector3 b(4.0, 5.0, 6.0);
    swap(a, b);
    ExpectVector(a, 4.0, 5.0, 6.0);
    ExpectVector(b, 1.0, 2.0, 3.0);
    ExpectVector(a - b, 3.0, 3.0, 3.0);
    ExpectVector(a + b, 5.0, 7.0, 9.0);
    ExpectVector(-a, -4.0, -5.0, -6.0);
    a *= 0.5;
    ExpectVector(a, 2.0, 2.5, 3.0);
}

}  // namespace
