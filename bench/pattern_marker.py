"""The number x_test_pattern's marker shows in a decoded grey picture: 16
blocks 40 px apart at the top left, a white block for a 1 bit."""


def marker_value(grey, offset, width):
    value = 0
    for bit in range(16):
        if grey[offset + 24 * width + 8 + bit * 40 + 16] > 128:
            value |= 1 << bit
    return value
