# Fills FOLDER with the listing test's files: 16404 images, 30 other files and
# one sub-folder. Creating them on the host side is much faster than through
# Wine's file layer.
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER}/folder)
set(names "")
foreach(i RANGE 0 16403)
    list(APPEND names ${FOLDER}/img${i}.png)
endforeach()
foreach(i RANGE 0 29)
    list(APPEND names ${FOLDER}/doc${i}.txt)
endforeach()
file(TOUCH ${names})
