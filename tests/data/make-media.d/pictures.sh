# Pictures of a picture-list job (sourced by make-media.sh): three kinds and
# three sizes, so that each is fitted its own way into the 160x120 picture
# size the first one gives the job: the same size, a narrow one shrunk to
# the height with bars left and right, a wide one shrunk to the width with
# bars above and below.
run -f lavfi -i "testsrc2=size=160x120:rate=1:duration=1" -frames:v 1 $OUT \
  -c:v mjpeg -q:v 2 -pix_fmt yuvj420p -f image2 list-160x120.jpg
run -f lavfi -i "rgbtestsrc=size=90x150:rate=1:duration=1" -frames:v 1 $OUT \
  -c:v png -pix_fmt rgb24 -f image2 list-90x150.png
run -f lavfi -i "smptehdbars=size=192x96:rate=1:duration=1" -frames:v 1 $OUT \
  -c:v bmp -pix_fmt bgr24 -f image2 list-192x96.bmp
