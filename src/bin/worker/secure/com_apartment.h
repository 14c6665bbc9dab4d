// COM for the calling thread, for as long as the object lives: the capture
// and encoder objects of the secure-capture thread (DXGI, Media Foundation)
// are COM objects. Windows: CoInitializeEx, multithreaded; a failure is
// ignored (the objects then report their own errors). Linux: nothing.
#pragma once

namespace halvorine {

class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialised_ = false;
};

}  // namespace halvorine
