#pragma once

#include <type_traits>

namespace osg {

// A 4x4 matrix stored as 16 values m0..m15 in one fixed memory order, which is
// also the order in which the values travel raw on the wire. A plain value
// type; only storage, the identity and the product are provided.
template <class T>
class TransformationMatrix
{
public:
    static constexpr int size = 16;

    // The identity.
    TransformationMatrix() { setIdentity(); }

    static TransformationMatrix identity() { return TransformationMatrix(); }

    void setIdentity()
    {
        for (int i = 0; i < size; ++i)
            values[i] = (i % 5 == 0) ? T(1) : T(0);
    }

    T& operator[](int index) { return values[index]; }
    const T& operator[](int index) const { return values[index]; }

    T* getValues() { return values; }
    const T* getValues() const { return values; }

    // R = left * right with R[4i + j] = sum over k of left[4i + k] * right[4k + j].
    // Each row of R is summed in this fixed order, (terms 2 and 3) + (terms 0
    // and 1), so every participant gets the same bits for the same inputs.
    static TransformationMatrix product(const TransformationMatrix& left, const TransformationMatrix& right)
    {
        TransformationMatrix result;
        for (int i = 0; i < 4; ++i) {
            const T* row = left.values + 4 * i;
            for (int j = 0; j < 4; ++j)
                result.values[4 * i + j] = (row[2] * right.values[8 + j] + row[3] * right.values[12 + j])
                    + (row[0] * right.values[j] + row[1] * right.values[4 + j]);
        }
        return result;
    }

    bool operator==(const TransformationMatrix& other) const
    {
        for (int i = 0; i < size; ++i)
            if (!(values[i] == other.values[i]))
                return false;
        return true;
    }
    bool operator!=(const TransformationMatrix& other) const { return !(*this == other); }

private:
    T values[size];
};

static_assert(sizeof(TransformationMatrix<float>) == 16 * sizeof(float),
              "a matrix must be exactly its 16 values, it is copied raw");

} // namespace osg
