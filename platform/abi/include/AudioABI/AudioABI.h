// Everything of the audio platform's binary interface.
#pragma once

#include <AudioABI/AudioPlugInInterface.h>
#include <AudioABI/AudioProperties.h>
#include <AudioABI/AudioTypes.h>
