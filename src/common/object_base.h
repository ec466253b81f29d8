#pragma once

namespace serverlink {

// Common base of the small support classes.
class CObjectBase {
public:
    CObjectBase() = default;
    virtual ~CObjectBase() = default;
    CObjectBase(const CObjectBase&) = delete;
    CObjectBase& operator=(const CObjectBase&) = delete;
};

}  // namespace serverlink
