#pragma once

#include <type_traits>

namespace osg {

// N coordinates of type T, stored contiguously (and copied raw on the wire).
// A default point is the origin.
template <class T, int N>
class Point
{
public:
    Point()
    {
        for (int i = 0; i < N; ++i)
            values[i] = T(0);
    }

    // One value per coordinate: Point<float, 3>(x, y, z).
    template <class... Args, class = std::enable_if_t<sizeof...(Args) == N && N != 0>>
    Point(Args... coordinates)
        : values{static_cast<T>(coordinates)...}
    {
    }

    T& operator[](int index) { return values[index]; }
    const T& operator[](int index) const { return values[index]; }

    T* getValues() { return values; }
    const T* getValues() const { return values; }

    bool operator==(const Point& other) const
    {
        for (int i = 0; i < N; ++i)
            if (!(values[i] == other.values[i]))
                return false;
        return true;
    }
    bool operator!=(const Point& other) const { return !(*this == other); }

private:
    T values[N];
};

static_assert(sizeof(Point<float, 3>) == 3 * sizeof(float),
              "a point must be exactly its values, it is copied raw");

} // namespace osg
