// The product's name, maker and version numbers: the one place both the
// version resource (Varnokd.rc) and the installer (installer/make-msi, which
// runs this header through the C preprocessor) take them from.
#pragma once

#define VNK_PRODUCT_NAME "Varnok Resident Client"
#define VNK_MANUFACTURER "Pellamar"
#define VNK_COPYRIGHT "Copyright (C) 2021 Pellamar. All rights reserved."

// The file version names the build: the installer packages carry it in
// their names and as their product version.
#define VNK_FILE_VERSION_MAJOR 3
#define VNK_FILE_VERSION_MINOR 0
#define VNK_FILE_VERSION_PATCH 0
#define VNK_FILE_VERSION_BUILD 2021

#define VNK_PRODUCT_VERSION_MAJOR 3
#define VNK_PRODUCT_VERSION_MINOR 0
#define VNK_PRODUCT_VERSION_PATCH 0
#define VNK_PRODUCT_VERSION_BUILD 0

// "a.b.c.d" from four numbers; written without spaces so that the
// stringised form has none either.
#define VNK_STRINGISE_(x) #x
#define VNK_STRINGISE(x) VNK_STRINGISE_(x)
#define VNK_DOTTED(a, b, c, d) VNK_STRINGISE(a.b.c.d)

#define VNK_FILE_VERSION VNK_FILE_VERSION_MAJOR, VNK_FILE_VERSION_MINOR, VNK_FILE_VERSION_PATCH, VNK_FILE_VERSION_BUILD
#define VNK_FILE_VERSION_TEXT \
    VNK_DOTTED(VNK_FILE_VERSION_MAJOR, VNK_FILE_VERSION_MINOR, VNK_FILE_VERSION_PATCH, VNK_FILE_VERSION_BUILD)
#define VNK_PRODUCT_VERSION \
    VNK_PRODUCT_VERSION_MAJOR, VNK_PRODUCT_VERSION_MINOR, VNK_PRODUCT_VERSION_PATCH, VNK_PRODUCT_VERSION_BUILD
#define VNK_PRODUCT_VERSION_TEXT                                                       \
    VNK_DOTTED(VNK_PRODUCT_VERSION_MAJOR, VNK_PRODUCT_VERSION_MINOR, VNK_PRODUCT_VERSION_PATCH, \
               VNK_PRODUCT_VERSION_BUILD)
