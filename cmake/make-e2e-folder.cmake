# Makes a fresh folder of images for the scenarios that browse or save:
#   cmake -DOUT=folder -DDATA=tests/data [-DCOPIES=n] -P make-e2e-folder.cmake
# Some images of DATA, COPIES numbered copies of one of them, a subfolder with
# one image and a file that is not an image (never listed).
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/sub)
# A fixed list, so that new test images elsewhere do not change what the
# scenarios list.
foreach(image small-rgb.png alpha-steps.png three-frames.png interlaced.png stripes.jpg four-frames.gif
              lossless-600x400.webp lossy-64x48.webp)
    file(COPY ${DATA}/${image} DESTINATION ${OUT})
endforeach()
if(NOT COPIES)
    set(COPIES 0)
endif()
foreach(i RANGE 1 ${COPIES})
    if(i GREATER 0)
        string(LENGTH "${i}" digits)
        set(number "${i}")
        if(digits EQUAL 1)
            set(number "0${i}")
        endif()
        file(COPY_FILE ${DATA}/small-rgb.png ${OUT}/copy-${number}.png)
    endif()
endforeach()
file(COPY_FILE ${DATA}/small-rgb.png ${OUT}/sub/inside.png)
file(WRITE ${OUT}/notes.txt "not an image\n")
