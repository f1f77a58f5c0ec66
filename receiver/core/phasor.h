// A tone's amplitude and phase, in single precision, and the little arithmetic the listening
// core does with them (without std::complex, whose products may call library helpers).
#pragma once

#include <cmath>

namespace sonicsend::receiver {

struct Phasor {
  float re = 0.0f;
  float im = 0.0f;
};

inline Phasor operator+(Phasor a, Phasor b) {
  return {a.re + b.re, a.im + b.im};
}
inline Phasor operator-(Phasor a, Phasor b) {
  return {a.re - b.re, a.im - b.im};
}
inline Phasor operator*(Phasor a, Phasor b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Phasor operator*(float s, Phasor a) {
  return {s * a.re, s * a.im};
}
inline Phasor conj(Phasor a) {
  return {a.re, -a.im};
}
inline float norm(Phasor a) {
  return a.re * a.re + a.im * a.im;
}
inline float abs(Phasor a) {
  return std::sqrt(norm(a));
}
inline float real(Phasor a) {
  return a.re;
}
inline float imag(Phasor a) {
  return a.im;
}

}  // namespace sonicsend::receiver
