// Plain 2-D images: a non-owning view with a row stride and an owning, row-major buffer.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

namespace Tarnwell::stereo {

template <class T>
struct ImageView {
    T* data = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;  // elements from one row to the next

    T* Row(int y) const { return data + y * stride; }
    T& At(int x, int y) const { return data[y * stride + x]; }
    bool Empty() const { return data == nullptr || width <= 0 || height <= 0; }

    // A view of mutable pixels is also a view of constant ones.
    operator ImageView<const T>() const requires(!std::is_const_v<T>) {
        return {data, width, height, stride};
    }
};

template <class T>
class Image {
public:
    Image() = default;
    Image(int width, int height, T fill = T{})
        : width_(width), height_(height), pixels_(std::size_t(width) * height, fill) {}

    int Width() const { return width_; }
    int Height() const { return height_; }
    T* Row(int y) { return pixels_.data() + std::size_t(y) * width_; }
    const T* Row(int y) const { return pixels_.data() + std::size_t(y) * width_; }
    T& At(int x, int y) { return Row(y)[x]; }
    const T& At(int x, int y) const { return Row(y)[x]; }

    ImageView<T> View() { return {pixels_.data(), width_, height_, width_}; }
    ImageView<const T> View() const { return {pixels_.data(), width_, height_, width_}; }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<T> pixels_;
};

}  // namespace Tarnwell::stereo
