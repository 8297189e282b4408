#include <gtest/gtest.h>
#include "tests/test_images.h"
