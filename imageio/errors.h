// Exceptions of the image output path; all derive from one base.
#pragma once

#include <stdexcept>
#include <string>

class EIOError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The output file could not be created: "Cannot create file "<path>". <system message>".
class EIOFileCreateError : public EIOError {
public:
    using EIOError::EIOError;
};

class EIOJpegException : public EIOError {
public:
    using EIOError::EIOError;
};

class EInvalidGraphic : public EIOError {
public:
    using EIOError::EIOError;
};
