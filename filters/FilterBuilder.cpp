#include "FilterBuilder.h"

namespace SoundTools {

FilterBuilder::FilterBuilder() = default;
FilterBuilder::~FilterBuilder() = default;

} // namespace SoundTools
